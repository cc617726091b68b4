#include "cli/common/exitstatus.h"

#include "download/outcome.h"

namespace ExitStatus
{

int of(const Outcome *outcome)
{
    if (outcome == &Outcome::Success)
        return Success;
    if (outcome == &Outcome::TimeOut)
        return TimeOut;
    if (outcome == &Outcome::Cancel)
        return Interrupted;
    if (outcome == &Outcome::FileError)
        return FileError;
    if (outcome == &Outcome::OpenFailed)
        return OpenFailed;
    return Failed;
}

} // namespace ExitStatus
