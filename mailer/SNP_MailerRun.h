// The three ways booth-mailer runs:
//   serve   until SIGTERM or SIGINT: takes what is in the upload folder at start, then
//           every file put into it (announced by the folder watch at once, and a rescan
//           every 30 s catches anything missed), and sends as messages fall due. A stop
//           signal lets the message in flight finish first.
//   drain   sends everything waiting now, retrying failures the server may get over for at
//           most the given seconds; 0 when nothing is left waiting, 1 (with what still
//           waits and why on standard output) otherwise.
//   status  prints what is waiting (count, oldest, why), sent and failed, and the last
//           error, read from the journal without changing it.
// A journal that cannot be opened ends serve and drain with status 2.
//
// Threads: all on the main thread; the stop signals only set a flag and write one byte
// into a pipe that the main thread watches.
#pragma once

#include "SNP_MailSettings.h"

#include <QTextStream>

namespace SNP_MailerRun {

constexpr int kRescanMs = 30 * 1000;
constexpr int kDefaultDrainSeconds = 300;

// SIGTERM and SIGINT ask the run to stop; SIGPIPE is ignored.
void installStopSignals();
bool stopRequested();

int serve(const SNP_MailSettings& settings);
int drain(const SNP_MailSettings& settings, int seconds, QTextStream& out);
int status(const SNP_MailFolders& folders, QTextStream& out);

} // namespace SNP_MailerRun
