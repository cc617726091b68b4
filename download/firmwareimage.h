#ifndef FIRMWAREIMAGE_H
#define FIRMWAREIMAGE_H

#include <QFile>
#include <QString>

// Whether an image file can be downloaded, and if not, why.
struct ImageCheck {
    enum class Problem {
        None,
        NoSuchFile,
        NotRegularFile,
        Unreadable,
        NoMagic,
        TooManyBlocks, // past DeviceFrame::MaxBlocks the block address wraps
    };

    Problem problem = Problem::None;
    // Whole data blocks after the header; known once the file opened.
    qint64 blocks = 0;

    bool ok() const { return problem == Problem::None; }
    // The problem in a few words ("no such file"), for a check that failed.
    QString reason() const;
};

// Reader for a firmware image: a 64-byte header that begins with the magic
// "Zentrak", then 64-byte data blocks. A trailing partial block is never sent.
class FirmwareImage
{
public:
    static constexpr int HeaderSize = 64;
    static constexpr int BlockSize = 64;
    static constexpr int MagicSize = 7;

    // Everything a download needs of the file, in this order: it exists, is
    // a regular file, opens, has the magic, and has no more blocks than an
    // address reaches. A file that opened stays open whatever was found, its
    // data blocks next to read.
    ImageCheck openChecked(const QString &path);
    // The same check on a file that is not to be read now.
    static ImageCheck check(const QString &path);

    // Opens the file by its real name, so any Unicode path works. Fails for
    // a missing or unreadable file and for a directory.
    bool open(const QString &path);
    void close();
    bool isOpen() const { return file.isOpen(); }

    // Total length, header included, measured when the file was opened.
    qint64 length() const { return fileLength; }

    // Reads the 64-byte header (a short read is allowed) and compares the
    // first seven bytes with the magic, case-sensitively.
    bool checkHeader();

    // Number of whole data blocks after the header, from the measured length.
    qint64 blockCount() const;

    // Reads up to BlockSize bytes; fewer than BlockSize marks the end of data.
    int readBlock(unsigned char *data);

    static bool hasMagic(const char *bytes, qint64 size);

private:
    QFile file;
    qint64 fileLength = 0;
};

#endif
