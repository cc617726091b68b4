#include "download/firmwareimage.h"
#include "download/uploadthread.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

namespace
{
QByteArray imageBytes(int size, const QByteArray &magic = "Zentrak")
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    bytes.replace(0, qMin(size, magic.size()), magic.left(size));
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Whether taking a file's read permission keeps this process out: not for
// root, and not on Windows, where the bits only mark a file read-only.
bool permissionsBind()
{
#ifdef Q_OS_WIN
    return false;
#else
    return geteuid() != 0;
#endif
}
} // namespace

class tst_FirmwareImage : public QObject
{
    Q_OBJECT
private slots:
    void layout_data();
    void layout();
    void magic_data();
    void magic();
    void unopenable_data();
    void unopenable();
    void unicodePath();

private:
    QTemporaryDir dir;
};

// Whole blocks after the header are data; a trailing partial block ends it.
// Past the blocks an address reaches the check fails, and the data can still
// be read. `problem` is the failed check's reason, empty for none.
void tst_FirmwareImage::layout_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("tail");
    QTest::addColumn<QString>("problem");
    QTest::newRow("magic only") << 7 << 0 << 0 << "";
    QTest::newRow("short header") << 63 << 0 << 0 << "";
    QTest::newRow("header only") << 64 << 0 << 0 << "";
    QTest::newRow("two blocks") << 192 << 2 << 0 << "";
    QTest::newRow("four blocks") << 320 << 4 << 0 << "";
    QTest::newRow("two blocks and a partial") << 192 + 17 << 2 << 17 << "";
    QTest::newRow("partial of 63") << 64 + 63 << 0 << 63 << "";
    QTest::newRow("99 blocks") << 6400 << 99 << 0 << "";
    QTest::newRow("4096 blocks") << 64 + 64 * 4096 << 4096 << 0 << "";
    QTest::newRow("4097 blocks") << 64 + 64 * 4097 << 4097 << 0
                                 << "4097 data blocks, more than 4096";
}

void tst_FirmwareImage::layout()
{
    QFETCH(int, size);
    QFETCH(int, blocks);
    QFETCH(int, tail);
    QFETCH(QString, problem);
    const QString path = dir.filePath(QStringLiteral("layout.bin"));
    const QByteArray bytes = imageBytes(size);
    QVERIFY(writeFile(path, bytes));

    FirmwareImage image;
    const ImageCheck check = image.openChecked(path);
    QCOMPARE(check.ok(), problem.isEmpty());
    QCOMPARE(check.reason(), problem);
    QCOMPARE(check.blocks, qint64(blocks));
    QVERIFY(image.isOpen());
    QCOMPARE(image.length(), qint64(size));
    QCOMPARE(image.blockCount(), qint64(blocks));
    unsigned char data[FirmwareImage::BlockSize];
    for (int k = 0; k < blocks; ++k) {
        QCOMPARE(image.readBlock(data), FirmwareImage::BlockSize);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(data), 64), bytes.mid(64 + 64 * k, 64));
    }
    QCOMPARE(image.readBlock(data), tail);
    QCOMPARE(image.readBlock(data), 0);
}

void tst_FirmwareImage::magic_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("exact") << imageBytes(64) << true;
    QTest::newRow("seven bytes") << QByteArray("Zentrak") << true;
    QTest::newRow("six bytes") << QByteArray("Zentra") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("lower case") << imageBytes(64, "zentrak") << false;
    QTest::newRow("last letter differs") << imageBytes(64, "Zentrax") << false;
    QTest::newRow("no magic") << QByteArray(320, '\0') << false;
}

void tst_FirmwareImage::magic()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    const QString path = dir.filePath(QStringLiteral("magic.bin"));
    QVERIFY(writeFile(path, bytes));
    FirmwareImage image;
    QVERIFY(image.open(path));
    QCOMPARE(image.checkHeader(), accepted);
    const ImageCheck check = FirmwareImage::check(path);
    QCOMPARE(check.ok(), accepted);
    QCOMPARE(check.reason(), accepted ? QString() : QString("no \"Zentrak\" header"));
}

void tst_FirmwareImage::unopenable_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("needsUnprivileged");
    QTest::addColumn<QString>("problem");
    QTest::newRow("missing") << dir.filePath(QStringLiteral("missing.bin")) << false
                             << "no such file";
    QTest::newRow("directory") << dir.path() << false << "not a regular file";
    QTest::newRow("empty path") << QString() << false << "no such file";
#ifndef Q_OS_WIN
    // On Windows /dev/zero is no device, only a path that leads nowhere.
    QTest::newRow("endless device") << QStringLiteral("/dev/zero") << false << "not a regular file";
#endif
    QTest::newRow("no read permission")
        << dir.filePath(QStringLiteral("locked.bin")) << true << "cannot be read";
}

void tst_FirmwareImage::unopenable()
{
    QFETCH(QString, path);
    QFETCH(bool, needsUnprivileged);
    if (needsUnprivileged) {
        if (!permissionsBind())
            QSKIP("permission bits do not bind this process");
        QVERIFY(writeFile(path, imageBytes(128)));
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    }
    FirmwareImage image;
    QVERIFY(!image.open(path));
    QVERIFY(!image.isOpen());
    QFETCH(QString, problem);
    const ImageCheck check = image.openChecked(path);
    QVERIFY(!check.ok());
    QCOMPARE(check.reason(), problem);
    QVERIFY(!image.isOpen());
}

void tst_FirmwareImage::unicodePath()
{
    const QString path = dir.filePath(QString::fromUtf8("Прошивка ✓ ü 固件.bin"));
    QVERIFY(writeFile(path, imageBytes(192)));
    // Handed to the worker as 8-bit text, the path must come through whole.
    uploadThread worker;
    worker.setFileName(path.toUtf8().constData());
    FirmwareImage image;
    QVERIFY(image.open(worker.fileSetting()));
    QVERIFY(image.checkHeader());
    QCOMPARE(image.blockCount(), qint64(2));
}

QTEST_APPLESS_MAIN(tst_FirmwareImage)
#include "tst_firmwareimage.moc"
