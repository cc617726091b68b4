#include "download/outcome.h"

#include <cstring>
#include <initializer_list>

const Outcome Outcome::Success{"Download Success", ExitStatus::Success};
const Outcome Outcome::Stop{"Download stop", ExitStatus::Failed};
const Outcome Outcome::TimeOut{"Download TimeOut", ExitStatus::TimeOut};
const Outcome Outcome::Cancel{"Download Cancel", ExitStatus::Interrupted};
const Outcome Outcome::FileError{"File Error", ExitStatus::FileError};
const Outcome Outcome::OpenFailed{"CanNOT Open Serial", ExitStatus::OpenFailed};

const Outcome *Outcome::fromText(const char *finishText)
{
    if (!finishText)
        return nullptr;
    for (const Outcome *o : {&Success, &Stop, &TimeOut, &Cancel, &FileError, &OpenFailed}) {
        if (std::strcmp(o->text(), finishText) == 0)
            return o;
    }
    return nullptr;
}
