#include "sim/frameparser.h"

#include "download/deviceframe.h"

#include <algorithm>
#include <climits>
#include <cstring>

void FrameParser::feed(const char *data, int size, qint64 tag)
{
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (m_len == 0 && byte != DeviceFrame::StartByte) {
            ++m_skipped;
            continue;
        }
        // settle() leaves at most an incomplete frame, so there is always room.
        m_buf[m_len] = byte;
        m_tags[m_len] = tag;
        ++m_len;
        settle();
    }
}

QList<FrameParser::Frame> FrameParser::takeFrames()
{
    QList<Frame> frames;
    frames.swap(m_frames);
    return frames;
}

void FrameParser::settle()
{
    while (m_len > 0) {
        if (m_buf[0] != DeviceFrame::StartByte) {
            ++m_skipped;
            drop(1);
            continue;
        }
        if (m_len < 2)
            return;
        const int payload = m_buf[1];
        if (payload > MaxPayload) {
            ++m_skipped;
            drop(1);
            continue;
        }
        if (m_len < 3)
            return;
        if (m_buf[2] != DeviceFrame::TypeByte) {
            ++m_skipped;
            drop(1);
            continue;
        }
        const int size = payload + 5;
        if (m_len < size)
            return;
        Frame frame;
        frame.bytes = QByteArray(reinterpret_cast<const char *>(m_buf), size);
        frame.good = DeviceFrame::checkByte(m_buf + 1, size - 2) == m_buf[size - 1];
        frame.tag = m_tags[0];
        ++(frame.good ? m_good : m_bad);
        m_frames.append(frame);
        drop(size);
    }
}

void FrameParser::drop(int count)
{
    m_len -= count;
    std::memmove(m_buf, m_buf + count, m_len);
    std::memmove(m_tags, m_tags + count, m_len * sizeof(qint64));
}

bool exerciseFrameParser(const unsigned char *data, std::size_t size)
{
    const auto *bytes = reinterpret_cast<const char *>(data);
    const int total = static_cast<int>(std::min<std::size_t>(size, INT_MAX));

    // The same bytes fed at once and in odd chunks must give the same frames.
    FrameParser whole;
    FrameParser split;
    whole.feed(bytes, total);
    for (int pos = 0; pos < total;) {
        const int chunk = std::min(total - pos, data[pos] % 16 + 1);
        split.feed(bytes + pos, chunk, pos);
        pos += chunk;
    }
    const QList<FrameParser::Frame> frames = whole.takeFrames();
    const QList<FrameParser::Frame> splitFrames = split.takeFrames();
    if (frames.size() != splitFrames.size() || split.skippedBytes() != whole.skippedBytes())
        return false;

    qint64 accounted = whole.skippedBytes() + whole.pendingBytes();
    for (int i = 0; i < frames.size(); ++i) {
        const QByteArray &f = frames[i].bytes;
        if (f != splitFrames[i].bytes || frames[i].good != splitFrames[i].good)
            return false;
        const auto *p = reinterpret_cast<const unsigned char *>(f.constData());
        if (f.size() < 5 || f.size() > FrameParser::MaxFrameSize)
            return false;
        if (p[0] != DeviceFrame::StartByte || p[2] != DeviceFrame::TypeByte || p[1] + 5 != f.size())
            return false;
        const bool checkOk = DeviceFrame::checkByte(p + 1, f.size() - 2) == p[f.size() - 1];
        if (frames[i].good != checkOk)
            return false;
        accounted += f.size();
    }
    return accounted == total;
}
