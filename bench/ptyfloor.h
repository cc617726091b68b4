#ifndef PTYFLOOR_H
#define PTYFLOOR_H

namespace Bench
{

// What the pseudo-terminal alone costs: a plain echo, no Qt and no threads
// but the two ends, passing a block frame one way and a reply back, with the
// same poll/read/write the board and the serial layer use. Every turnaround
// the board measures includes one such round trip; the rest is the host's own.
class PtyFloor
{
public:
    // Median round trip in microseconds, or a negative value if no pty.
    static double measure(int rounds);

private:
    static bool readExactly(int fd, char *data, int size);
};

} // namespace Bench

#endif
