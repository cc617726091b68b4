#ifndef OPTIONS_H
#define OPTIONS_H

#include "cli/common/stamp.h"
#include "cli/job/job.h"
#include "download/linerates.h"
#include "serial/linesequence.h"

#include <QString>
#include <QStringList>

// kavro-flash's command line as plain values, checked as far as it can be
// without touching a file or a port.
struct Options {
    enum class Action { Flash, Station, Doctor, List, CheckRecord, Report, WriteJob, Help };

    Action action = Action::Flash;
    QStringList ports;
    int baud = LineRates::All[0];
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    QString imagePath;
    QString recordPath;      // one line per board; the ledger of stamps
    QString continuedRecord; // the record a new record continues; empty for none
    Stamp::Plan stamp;       // checked against the image once it is read
    // Station mode, or a job written for it.
    bool station = false;
    int count = 0; // boards in all; 0 for no limit
    int settleMs = 1000;
    // DTR and RTS into and out of the boot loader; empty: untouched.
    LineSequence enter;
    LineSequence leave;
    // With --job, the job the run's settings came from.
    std::optional<Job> job;
    QString writtenJob; // --write-job's file
    // --serve: the live page's address and port; port -1 for no page.
    QString serveAddress;
    int servePort = -1;
    // --report: the records, and the files to write (either may be empty).
    QStringList reportRecords;
    QString reportHtml;
    QString reportCsv;
    // --check-record's file.
    QString checkedRecord;
    QString helpText; // for Action::Help

    // Parses `arguments` (the program's name first). False on a usage error,
    // with its message in `error`. --version and --help-all are answered by
    // Qt's own handling, which ends the process.
    static bool parse(const QStringList &arguments, Options *options, QString *error);
};

#endif
