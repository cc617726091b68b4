#include "download/firmwareimage.h"

#include "download/deviceframe.h"

#include <QFileInfo>

#include <cstring>

namespace
{
const char Magic[FirmwareImage::MagicSize] = {'Z', 'e', 'n', 't', 'r', 'a', 'k'};
}

bool FirmwareImage::open(const QString &path)
{
    close();
    // Only a regular file has an end: a named pipe would block here until a
    // writer came, and a device such as /dev/zero would never run out.
    if (!QFileInfo(path).isFile())
        return false;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Measured once, from the file's size; a fresh file reads from the start.
    fileLength = file.size();
    return true;
}

QString ImageCheck::reason() const
{
    switch (problem) {
    case Problem::None:
        break;
    case Problem::NoSuchFile:
        return QStringLiteral("no such file");
    case Problem::NotRegularFile:
        return QStringLiteral("not a regular file");
    case Problem::Unreadable:
        return QStringLiteral("cannot be read");
    case Problem::NoMagic:
        return QStringLiteral("no \"Zentrak\" header");
    case Problem::TooManyBlocks:
        return QStringLiteral("%1 data blocks, more than %2")
            .arg(blocks)
            .arg(DeviceFrame::MaxBlocks);
    }
    return QString();
}

ImageCheck FirmwareImage::openChecked(const QString &path)
{
    close();
    ImageCheck check;
    const QFileInfo info(path);
    if (!info.exists())
        check.problem = ImageCheck::Problem::NoSuchFile;
    else if (!info.isFile())
        check.problem = ImageCheck::Problem::NotRegularFile;
    else if (!open(path))
        check.problem = ImageCheck::Problem::Unreadable;
    if (!check.ok())
        return check;
    check.blocks = blockCount();
    if (!checkHeader())
        check.problem = ImageCheck::Problem::NoMagic;
    else if (check.blocks > DeviceFrame::MaxBlocks)
        check.problem = ImageCheck::Problem::TooManyBlocks;
    return check;
}

ImageCheck FirmwareImage::check(const QString &path)
{
    FirmwareImage image;
    return image.openChecked(path);
}

void FirmwareImage::close()
{
    if (file.isOpen())
        file.close();
    fileLength = 0;
}

bool FirmwareImage::hasMagic(const char *bytes, qint64 size)
{
    return size >= MagicSize && std::memcmp(bytes, Magic, MagicSize) == 0;
}

bool FirmwareImage::checkHeader()
{
    char header[HeaderSize];
    const qint64 got = file.read(header, HeaderSize);
    return hasMagic(header, got);
}

qint64 FirmwareImage::blockCount() const
{
    return fileLength > HeaderSize ? (fileLength - HeaderSize) / BlockSize : 0;
}

int FirmwareImage::readBlock(unsigned char *data)
{
    // Loop over short reads so only the end of the file ends the data.
    qint64 total = 0;
    while (total < BlockSize) {
        const qint64 got = file.read(reinterpret_cast<char *>(data) + total, BlockSize - total);
        if (got <= 0)
            break;
        total += got;
    }
    return static_cast<int>(total);
}
