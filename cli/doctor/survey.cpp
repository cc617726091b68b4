#include "cli/doctor/survey.h"

#include "serial/devicepath.h"
#include "serial/serialdevicemap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <vector>

#ifndef Q_OS_WIN
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
PortSurvey PortSurvey::of(const QString &name, const SurveyRoots &)
{
    PortSurvey survey;
    survey.name = name;
    survey.path = PortName::devicePath(name);
    survey.device = name.section(QLatin1Char('\\'), -1);
    survey.exists = SerialDeviceMap::portNames().contains(survey.device, Qt::CaseInsensitive);
    survey.userMayOpen = true;
    survey.latency = LatencyTimer::of(survey.path);
    return survey;
}

SystemSurvey SystemSurvey::of(const SurveyRoots &)
{
    SystemSurvey system;
    system.user = qEnvironmentVariable("USERNAME");
    return system;
}
#else
namespace
{

QString text(const QString &path)
{
    return QString::fromUtf8(SystemFile::read(path));
}

QString modeText(mode_t mode)
{
    QString text = S_ISCHR(mode)   ? QStringLiteral("c")
                   : S_ISDIR(mode) ? QStringLiteral("d")
                                   : QStringLiteral("-");
    const char *letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        text += (mode & (0400 >> bit)) ? QLatin1Char(letters[bit]) : QLatin1Char('-');
    return text;
}

QString groupName(gid_t gid)
{
    const group *g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

} // namespace

PortSurvey PortSurvey::of(const QString &name, const SurveyRoots &roots)
{
    PortSurvey survey;
    survey.name = name;
    survey.path = name.contains(QLatin1Char('/')) ? name : roots.dev + QLatin1Char('/') + name;
    const QFileInfo info(survey.path);
    survey.device = info.canonicalFilePath();
    survey.exists = !survey.device.isEmpty();
    if (!survey.exists) {
        if (info.isSymLink())
            survey.goneTarget = SystemFile::linkTarget(survey.path);
        return survey;
    }

    // The tty's class entry leads to the port's device, whose ancestors
    // include the USB device with its ids.
    const QString tty =
        roots.sysfs + QStringLiteral("/class/tty/") + QFileInfo(survey.device).fileName();
    survey.deviceNumber = text(tty + QStringLiteral("/dev"));
    const QString portDevice = QFileInfo(tty + QStringLiteral("/device")).canonicalFilePath();
    if (!portDevice.isEmpty()) {
        survey.driver =
            QFileInfo(QFileInfo(portDevice + QStringLiteral("/driver")).canonicalFilePath())
                .fileName();
        const QString top = QFileInfo(roots.sysfs).canonicalFilePath();
        for (QDir dir(portDevice); dir.absolutePath().startsWith(top + QLatin1Char('/'));) {
            if (dir.exists(QStringLiteral("idVendor"))) {
                survey.vendorProduct = text(dir.filePath(QStringLiteral("idVendor"))) +
                                       QLatin1Char(':') +
                                       text(dir.filePath(QStringLiteral("idProduct")));
                survey.serialNumber = text(dir.filePath(QStringLiteral("serial")));
                break;
            }
            if (!dir.cdUp())
                break;
        }
    }
    survey.byId = PortDetails::linksTo(roots.dev + QStringLiteral("/serial/by-id"), survey.device);
    survey.byPath =
        PortDetails::linksTo(roots.dev + QStringLiteral("/serial/by-path"), survey.device);

    struct stat st {
    };
    const QByteArray encoded = QFile::encodeName(survey.device);
    if (::stat(encoded.constData(), &st) == 0) {
        const passwd *pw = ::getpwuid(st.st_uid);
        survey.owner = pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(st.st_uid);
        survey.group = groupName(st.st_gid);
        survey.mode = modeText(st.st_mode);
        survey.groupMayOpen = (st.st_mode & 060) == 060;
    }
    survey.userMayOpen = ::access(encoded.constData(), R_OK | W_OK) == 0;
    survey.holders = PortHolder::of(survey.device, roots);

    if (!survey.deviceNumber.isEmpty()) {
        const QByteArray udev =
            SystemFile::read(roots.udevData + QStringLiteral("/c") + survey.deviceNumber);
        for (const QByteArray &line : udev.split('\n')) {
            if (line.trimmed() == "E:ID_MM_DEVICE_IGNORE=1")
                survey.modemManagerIgnores = true;
        }
    }
    survey.latency = LatencyTimer::of(survey.device, roots.sysfs);
    survey.latencyWritable =
        survey.latency.ms >= 0 &&
        ::access(QFile::encodeName(survey.latency.file).constData(), W_OK) == 0;
    return survey;
}

SystemSurvey SystemSurvey::of(const SurveyRoots &roots)
{
    SystemSurvey system;
    system.root = ::geteuid() == 0;
    const passwd *pw = ::getpwuid(::getuid());
    system.user = pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::getuid());

    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> gids(std::max(count, 0));
    if (count > 0 && ::getgroups(count, gids.data()) == count) {
        for (gid_t gid : gids)
            system.groups << groupName(gid);
    }
    if (!system.groups.contains(groupName(::getegid())))
        system.groups.prepend(groupName(::getegid()));
    if (pw) {
        int listed = 64;
        std::vector<gid_t> onFile(listed);
        if (::getgrouplist(pw->pw_name, pw->pw_gid, onFile.data(), &listed) < 0) {
            onFile.resize(listed);
            ::getgrouplist(pw->pw_name, pw->pw_gid, onFile.data(), &listed);
        }
        for (int i = 0; i < listed; ++i)
            system.groupsOnFile << groupName(onFile[i]);
    }

    for (const PortHolder &process : PortHolder::running(roots)) {
        system.modemManagerRunning |= process.program == QLatin1String("ModemManager");
        system.brlttyRunning |= process.program == QLatin1String("brltty");
    }
    for (const QString &dir : roots.programDirs)
        system.brlttyInstalled |= QFileInfo::exists(dir + QStringLiteral("/brltty"));
    return system;
}
#endif
