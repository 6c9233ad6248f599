// The rehearsal pass: staff try the whole booth before the doors open. One visitor's pass
// runs through the real windows: the go button is touched, the addresses are typed with
// the keyboard's own keys and accepted, the countdowns and the camera run, and the pass
// ends with the filed picture and the upload file, or with the reason there is none.
// With a snapshot folder it also writes a PNG of each screen as the pass reaches it, so
// staff can check an event's artwork and layout before the doors open.
//
//   booth --rehearse ADDRESS[,ADDRESS...] [--snapshots FOLDER] [-KEY VALUE ...]
//
// Threads: main thread only. While it waits, the pass runs the event loop blocked on
// events, as the booth's own loop does.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class AppController;

namespace SNP_Rehearsal {

// The addresses of "--rehearse A,B" or "--rehearse=A,B" on the command line; none when
// the option is absent. An option without addresses gives an empty list (a failed pass).
std::optional<QStringList> addressesFromArguments(const QStringList& arguments);

// The folder of "--snapshots FOLDER" or "--snapshots=FOLDER"; empty when absent.
QString snapshotFolderFromArguments(const QStringList& arguments);

struct Outcome {
    bool ok = false;
    QString filedPath;
    QString uploadPath;
    QString reason; // why the pass ended without an upload file
};

// Runs one pass with a controller that has been woken and launched; the event loop runs
// inside. timeoutMs bounds the whole pass (0: as long as the screens' timings need, with
// a margin). With a snapshot folder, each screen the pass reaches is written there as
// "screenN-touch.png" and "screenN-live.png" (N: the screen's pictures, 7 for the sorry
// screen, 8 for a picture saved for a later try), each the size of its window, for the
// windows the visitor sees: on one screen the touch content on screens 1 and 2, the live
// content from screen 3 on. An address the booth asks about ("Did you mean ...?") is kept
// as given, the question written as "question-touch.png".
Outcome rehearse(AppController& controller, const QStringList& addresses, int timeoutMs = 0,
                 const QString& snapshotFolder = QString());

// Keeps a handle on standard error as it is now (before the log takes it over), so that
// run() can tell the operator why a pass failed.
void keepStandardError();

// rehearse(), then prints the two paths on standard output ("filed picture: PATH",
// "upload file: PATH") or the reason on the kept standard error; answers the exit status (0 only
// with an upload file).
int run(AppController& controller, const QStringList& addresses, const QString& snapshotFolder = QString());

} // namespace SNP_Rehearsal
