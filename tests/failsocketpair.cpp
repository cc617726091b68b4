// Preloaded into a program to make every socketpair() fail as it does when
// the process has no descriptors left.

#include <cerrno>

extern "C" int socketpair(int, int, int, int *)
{
    errno = EMFILE;
    return -1;
}
