#ifndef FRAMEPARSER_H
#define FRAMEPARSER_H

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <cstddef>

// Cuts a stream of host bytes into frames. Pure byte handling, no I/O.
//
// A frame starts with FE <n> 4D; anything else before that is skipped one byte
// at a time. A length above the largest host frame, or a wrong type byte, means
// the FE was not a frame start and the scan goes on after it, so a stray FE in
// line noise cannot swallow the real frame behind it. A complete frame whose
// check byte is wrong is consumed whole and reported with good == false.
class FrameParser
{
public:
    static constexpr int MaxPayload = 66;
    static constexpr int MaxFrameSize = MaxPayload + 5;

    struct Frame {
        QByteArray bytes;
        bool good = false;
        // The tag of the feed() call that brought the frame's first byte.
        qint64 tag = 0;
    };

    // Takes any bytes, any split. `tag` is carried to the frames whose start
    // byte arrives in this call (the server passes the read time).
    void feed(const char *data, int size, qint64 tag = 0);

    // Complete frames, good and bad, in arrival order; removes them.
    QList<Frame> takeFrames();

    int goodCount() const { return m_good; }
    int badCount() const { return m_bad; }
    qint64 skippedBytes() const { return m_skipped; }
    // Bytes of a frame begun but not complete.
    int pendingBytes() const { return m_len; }

private:
    void settle();
    void drop(int count);

    unsigned char m_buf[MaxFrameSize];
    qint64 m_tags[MaxFrameSize];
    int m_len = 0;
    int m_good = 0;
    int m_bad = 0;
    qint64 m_skipped = 0;
    QList<Frame> m_frames;
};

// Feeds arbitrary bytes through a parser in chunk sizes taken from the data
// itself, and checks every frame that comes out. Returns false if a frame is
// malformed or bytes went missing. Entry point for fuzzing.
bool exerciseFrameParser(const unsigned char *data, std::size_t size);

#endif
