#!/usr/bin/env python3
"""Prints a digest of what the top-level window titled TITLE shows on an X display, read from
the screen through Xlib, so that a script can tell whether the window's contents changed.
    window_pixels.py DISPLAY TITLE
Exits with 1 when there is no such window."""
import ctypes
import ctypes.util
import hashlib
import re
import subprocess
import sys


class XImage(ctypes.Structure):
    # The leading fields of Xlib's XImage, enough to find the pixel bytes.
    _fields_ = [
        ("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
        ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_char)),
        ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
        ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
        ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
        ("bits_per_pixel", ctypes.c_int),
    ]


def main():
    display, title = sys.argv[1], sys.argv[2]
    info = subprocess.run(["xwininfo", "-display", display, "-name", title],
                          capture_output=True, text=True)
    if info.returncode != 0:
        return 1
    field = lambda name: int(re.search(name + r":\s+(-?\d+)", info.stdout).group(1))
    x, y = field("Absolute upper-left X"), field("Absolute upper-left Y")
    width, height = field("Width"), field("Height")

    xlib = ctypes.CDLL(ctypes.util.find_library("X11"))
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XDefaultRootWindow.restype = ctypes.c_ulong
    xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    xlib.XGetImage.restype = ctypes.POINTER(XImage)
    xlib.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                               ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    connection = xlib.XOpenDisplay(display.encode())
    if not connection:
        return 1
    # From the root window: what is on screen there, whichever window draws it.
    all_planes, z_pixmap = 0xFFFFFFFFFFFFFFFF, 2
    image = xlib.XGetImage(connection, xlib.XDefaultRootWindow(connection), x, y, width, height,
                           all_planes, z_pixmap)
    if not image:
        return 1
    pixels = ctypes.string_at(image.contents.data, image.contents.bytes_per_line * height)
    print(hashlib.sha256(pixels).hexdigest())
    xlib.XCloseDisplay(connection)
    return 0


if __name__ == "__main__":
    sys.exit(main())
