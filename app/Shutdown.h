// How the program ends when it is told to from outside: a stop signal, or the loss of its
// display, stops the converter it started (its process group: ask, wait at most five seconds,
// terminate) before the process ends, so that no converter outlives it and keeps writing; a
// command started with --launch is ended and then its key log is deleted (its guard does the
// same when the process ends any other way), and the spool folders of the capture's copies go.
#pragma once

// Before anything else: a peer that closes its end never kills the process (SIGPIPE is
// ignored), and whenever the process exits (the toolkit exits when its display goes away), the
// converters still running are stopped first.
void PrepareProcessForShutdown();

// Once the application object exists, for the window: SIGTERM, SIGINT and SIGHUP ask the
// converters to close at once, and on the GUI thread the program then waits for them (at most
// five seconds, then terminates them) and ends by the same signal.
void WatchStopSignals();
