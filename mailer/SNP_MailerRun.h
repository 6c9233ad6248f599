// The three ways booth-mailer runs:
//   serve   until SIGTERM or SIGINT: takes what is in the upload folder at start, then
//           every file put into it (announced by the folder watch at once, and a rescan
//           every 30 s catches anything missed), and sends as messages fall due. A stop
//           signal lets the message in flight finish first.
//   drain   sends everything waiting now, retrying failures the server may get over for at
//           most the given seconds (the message in flight then may take one network
//           time-out more); 0 when nothing is left waiting, 1 (with what still waits and
//           why on standard output) otherwise.
//   status  prints what is waiting (count, oldest, why), the upload files not taken yet,
//           sent and failed, the last error and whether a mailer seems to be running,
//           read from the journal without changing it; 2 when the journal or the upload
//           folder cannot be read.
// A journal that cannot be written ends serve and drain with status 2, said on standard
// error; a damaged one is set aside and made anew from the folders, said there too.
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

// Where tellStaff writes besides the log: the standard error the program was started with
// (the log file takes standard error over once it is open); -1: nowhere.
void setStaffOutput(int fd);
// Logged, and written to the staff output as one line, control characters escaped.
void tellStaff(const QString& message);

int serve(const SNP_MailSettings& settings);
int drain(const SNP_MailSettings& settings, int seconds, QTextStream& out);
int status(const SNP_MailFolders& folders, QTextStream& out);

} // namespace SNP_MailerRun
