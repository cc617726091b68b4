#ifndef PORTFAILURE_H
#define PORTFAILURE_H

#include <QString>

// Why a port did not open or could not be set up for the board. The kinds
// are what a caller acts on (try the board again, point at the user's
// groups, name the program that holds the port); the detail is for people.
struct PortFailure {
    enum class Kind {
        NotFound,
        PermissionDenied,
        Busy,
        NotASerialPort,
        SettingRefused, // the port opened, but its driver refused `setting`
        Other,
    };

    Kind kind = Kind::Other;
    // In a few words: "permission denied (is this user in ...?)", "busy:
    // held by minicom (pid 812)", or the system's own text.
    QString detail;
    // SettingRefused: the line setting, "baud rate 256000".
    QString setting;

    static PortFailure refused(const QString &setting)
    {
        return {Kind::SettingRefused, QStringLiteral("the port refused ") + setting, setting};
    }
};

#endif
