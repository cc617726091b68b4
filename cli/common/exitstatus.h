#ifndef EXITSTATUS_H
#define EXITSTATUS_H

class Outcome;

// kavro-flash's exit statuses, each declared once; the help text's table is
// built from them.
namespace ExitStatus
{
enum : int {
    Success = 0,
    Failed = 1, // a board failed in another way, or a record line was lost
    Usage = 2,
    FileError = 3,
    OpenFailed = 4,
    TimeOut = 5,
    Interrupted = 130,
};

// The status for a board whose session ended with `outcome`; Failed for a
// session with none.
int of(const Outcome *outcome);

} // namespace ExitStatus

#endif
