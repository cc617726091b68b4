#ifndef JOB_H
#define JOB_H

#include "cli/common/stamp.h"
#include "serial/linesequence.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// A job: what an engineer hands to a production line, in a TOML file kept
// in version control. It fixes the image (and its SHA-256), and whatever else
// of a run it names; the operator only runs it.
struct Job {
    // The file format this program reads and writes.
    static constexpr int Format = 1;

    QString path;   // the job file, as given
    QString sha256; // of the file's bytes, hex
    QString name;
    QString imagePath; // paths are relative to the job file's folder
    QString imageSha256;
    std::optional<int> baud;
    std::optional<QStringList> ports;
    std::optional<bool> station;
    std::optional<int> settleMs;
    QString recordPath; // empty: no record
    std::optional<Stamp::Plan> stamp;
    std::optional<LineSequence> enter;
    std::optional<LineSequence> leave;
    int quantity = 0; // successes of this job in all; 0 for no limit

    // The command-line options the job fixes, by the field that fixes them:
    // each pair is the field and the option's long name.
    QList<QPair<QString, QString>> fixedOptions() const;
    // The rate and the ports as command-line arguments.
    QStringList portArguments() const;
    // The job as command-line arguments, the image last.
    QStringList arguments() const;
};

// Where a job file is wrong, and why.
struct JobError {
    QString file;
    int line = 0; // from 1; 0 where the file could not be read at all
    int column = 0;
    QString reason;

    // "line1.toml:4:7: baud must be 115200 or 256000, not 9600"
    QString text() const;
};

// A job, or why the file is not one.
struct JobRead {
    Job job;
    std::optional<JobError> error;

    bool ok() const { return !error; }
};

JobRead readJob(const QString &path);
// The same from bytes already read; `path` names them in errors and anchors
// relative paths.
JobRead parseJob(const QByteArray &bytes, const QString &path);

// A new job file's text: what `job` fixes, commented.
QByteArray jobText(const Job &job);

#endif
