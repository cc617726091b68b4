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
    // Negative values when there is no pty.
    struct Figures {
        double tripUs = -1; // median round trip, wall clock
        double cpuUs = -1;  // the host end's own thread CPU per round trip
    };

    static Figures measure(int rounds);

private:
    static bool readExactly(int fd, char *data, int size);
};

} // namespace Bench

#endif
