#include "serial/portsurvey.h"

#include "serial/serialdevicemap.h"
#include "serial/serialport.h"

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

QString PortHolder::describe(const QList<PortHolder> &holders)
{
    QStringList parts;
    for (const PortHolder &h : holders)
        parts << QStringLiteral("%1 (pid %2)").arg(h.program).arg(h.pid);
    return parts.join(QStringLiteral(", "));
}

#ifdef Q_OS_WIN
// Windows does not tell who holds a port; opening it says that someone does.
QList<PortHolder> PortHolder::of(const QString &, const SurveyRoots &)
{
    return {};
}

PortSurvey PortSurvey::of(const QString &name, const SurveyRoots &)
{
    PortSurvey survey;
    survey.name = name;
    survey.path = SerialPort::devicePath(name);
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

QByteArray readSmall(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(4096).trimmed();
}

QString readText(const QString &path)
{
    return QString::fromUtf8(readSmall(path));
}

bool isPid(const QString &name)
{
    bool ok = false;
    return name.toLongLong(&ok) > 0 && ok;
}

QStringList processIds(const SurveyRoots &roots)
{
    QStringList pids = QDir(roots.proc).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    pids.erase(std::remove_if(pids.begin(), pids.end(), [](const QString &p) { return !isPid(p); }),
               pids.end());
    return pids;
}

QString programOf(const SurveyRoots &roots, qint64 pid)
{
    const QString comm = readText(QStringLiteral("%1/%2/comm").arg(roots.proc).arg(pid));
    return comm.isEmpty() ? QStringLiteral("a program") : comm;
}

QString linkTarget(const QString &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return n > 0 ? QFile::decodeName(QByteArray(buffer, int(n))) : QString();
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

QList<PortHolder> PortHolder::of(const QString &devicePath, const SurveyRoots &roots)
{
    QList<PortHolder> holders;
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    if (device.isEmpty())
        return holders;
    const qint64 self = ::getpid();
    const QString devRoot = QFileInfo(roots.dev).canonicalFilePath() + QLatin1Char('/');
    const QString ptsPrefix = devRoot + QStringLiteral("pts/");
    const QByteArray ptyIndex =
        device.startsWith(ptsPrefix) ? device.mid(ptsPrefix.size()).toLatin1() : QByteArray();
    const auto add = [&](qint64 pid) {
        for (const PortHolder &h : holders) {
            if (h.pid == pid)
                return;
        }
        holders.append({pid, programOf(roots, pid)});
    };

    for (const QString &pid : processIds(roots)) {
        if (pid.toLongLong() == self)
            continue;
        const QString process = roots.proc + QLatin1Char('/') + pid;
        const QString fds = process + QStringLiteral("/fd");
        bool holds = false;
        bool peer = false;
        for (const QString &fd : QDir(fds).entryList(QDir::System | QDir::Files)) {
            const QString target = linkTarget(fds + QLatin1Char('/') + fd);
            holds |= target == device;
            // A pseudo-terminal's other end (a simulated board, a terminal
            // window) may keep this end open too: it is the line's peer,
            // not a program competing for it.
            if (!ptyIndex.isEmpty() && target.endsWith(QStringLiteral("/ptmx"))) {
                peer |= readSmall(process + QStringLiteral("/fdinfo/") + fd)
                            .split('\n')
                            .contains("tty-index:\t" + ptyIndex);
            }
        }
        if (holds && !peer)
            add(pid.toLongLong());
    }

    // A lock file names its port as it is under /dev, '/' written as '_',
    // and starts with the holder's pid (as text, in whatever padding).
    QString lockName =
        device.startsWith(devRoot) ? device.mid(devRoot.size()) : QFileInfo(device).fileName();
    lockName.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString &dir : roots.lockDirs) {
        const QByteArray content = readSmall(dir + QStringLiteral("/LCK..") + lockName);
        const qint64 pid = content.simplified().split(' ').value(0).toLongLong();
        if (pid > 0 && pid != self &&
            QFileInfo::exists(roots.proc + QLatin1Char('/') + QString::number(pid)))
            add(pid);
    }
    return holders;
}

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
            survey.goneTarget = linkTarget(survey.path);
        return survey;
    }

    // The tty's class entry leads to the port's device, whose ancestors
    // include the USB device with its ids.
    const QString tty =
        roots.sysfs + QStringLiteral("/class/tty/") + QFileInfo(survey.device).fileName();
    survey.deviceNumber = readText(tty + QStringLiteral("/dev"));
    const QString portDevice = QFileInfo(tty + QStringLiteral("/device")).canonicalFilePath();
    if (!portDevice.isEmpty()) {
        survey.driver =
            QFileInfo(QFileInfo(portDevice + QStringLiteral("/driver")).canonicalFilePath())
                .fileName();
        const QString top = QFileInfo(roots.sysfs).canonicalFilePath();
        for (QDir dir(portDevice); dir.absolutePath().startsWith(top + QLatin1Char('/'));) {
            if (dir.exists(QStringLiteral("idVendor"))) {
                survey.vendorProduct = readText(dir.filePath(QStringLiteral("idVendor"))) +
                                       QLatin1Char(':') +
                                       readText(dir.filePath(QStringLiteral("idProduct")));
                survey.serialNumber = readText(dir.filePath(QStringLiteral("serial")));
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
            readSmall(roots.udevData + QStringLiteral("/c") + survey.deviceNumber);
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

    for (const QString &pid : processIds(roots)) {
        const QString program = programOf(roots, pid.toLongLong());
        system.modemManagerRunning |= program == QLatin1String("ModemManager");
        system.brlttyRunning |= program == QLatin1String("brltty");
    }
    for (const QString &dir : roots.programDirs)
        system.brlttyInstalled |= QFileInfo::exists(dir + QStringLiteral("/brltty"));
    return system;
}
#endif
