#include "bench/session.h"

#include "download/deviceframe.h"
#include "download/firmwareimage.h"
#include "download/outcome.h"
#include "sim/bootsim.h"

#include <QFile>
#include <QTemporaryDir>

namespace Bench
{

namespace
{

constexpr int WireBitsPerBlock = (DeviceFrame::BlockFrameSize + DeviceFrame::ReplySize) * 10;

QByteArray makeImage(int blocks)
{
    QByteArray image("Zentrak");
    image.append(QByteArray(FirmwareImage::HeaderSize - image.size(), '\0'));
    for (int k = 0; k < blocks * FirmwareImage::BlockSize; ++k)
        image.append(static_cast<char>((k * 131 + k / 256) & 0xFF));
    return image;
}

} // namespace

double wireNsPerBlock(int baud)
{
    return WireBitsPerBlock * 1e9 / baud;
}

int sessionTimeoutMs(int blocks, int wireBaud, int adapterLatencyMs)
{
    const double perBlockMs =
        (wireBaud > 0 ? 4 * wireNsPerBlock(wireBaud) / 1e6 : 5.0) + adapterLatencyMs;
    return 15000 + int(blocks * perBlockMs);
}

bool writeImage(const QTemporaryDir &dir, const QString &name, Job &job)
{
    const QByteArray image = makeImage(job.blocks);
    job.imagePath = dir.filePath(name);
    job.data = image.mid(FirmwareImage::HeaderSize);
    QFile file(job.imagePath);
    return file.open(QIODevice::WriteOnly) && file.write(image) == image.size();
}

Sample judge(BootSim &sim, const Job &job, const SessionClock &clock, int endFramesBefore,
             bool timedOut)
{
    Sample s;
    const char *text = clock.finishText;
    if (timedOut) {
        s.error = QStringLiteral("session did not end in time");
        return s;
    }
    if (text != Outcome::Success.text()) {
        s.error = QStringLiteral("session ended with \"%1\"")
                      .arg(QString::fromLatin1(text ? text : "no finish"));
        return s;
    }
    if (!sim.waitForEndFrames(endFramesBefore + 1, 2000) || sim.receivedImage() != job.data) {
        s.error = QStringLiteral("the board did not receive the image");
        return s;
    }
    const QVector<qint64> turnaround = sim.turnaroundNs();
    if (turnaround.size() != job.blocks) {
        s.error =
            QStringLiteral("%1 turnarounds for %2 blocks").arg(turnaround.size()).arg(job.blocks);
        return s;
    }
    // The first block also waits for the image to be opened and checked.
    for (int i = 1; i < turnaround.size(); ++i)
        s.turnaroundUs.append(turnaround[i] / 1000.0);
    s.blockPhaseNs = double(clock.finishNs - clock.firstBlockNs);
    return s;
}

void prepareBoard(BootSim &sim, int wireBaud, int adapterLatencyMs)
{
    BootSimOptions options;
    options.wireBaud = wireBaud;
    options.adapterLatencyMs = adapterLatencyMs;
    sim.setOptions(options);
    sim.clearLog();
}

} // namespace Bench
