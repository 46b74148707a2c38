// The compiled-in pictures, addressed by their resource ids.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

inline constexpr int IDI_APP = 130;
inline constexpr int IDB_LOGO = 202;
inline constexpr int IDB_STATUS = 204;
inline constexpr int IDR_DOWNLOAD_CLIP = 1507;

// Icon 130 in all its sizes.
QIcon LoadAppIcon();

// Bitmap `id` (202 or 204); a null pixmap for any other id.
QPixmap LoadBitmapResource(int id);

// Resource path of the looping animation that stands for clip 1507.
QString DownloadClipPath();
