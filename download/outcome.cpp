#include "download/outcome.h"

#include <cstring>
#include <initializer_list>

const Outcome Outcome::Success{"Download Success"};
const Outcome Outcome::Stop{"Download stop"};
const Outcome Outcome::TimeOut{"Download TimeOut"};
const Outcome Outcome::Cancel{"Download Cancel"};
const Outcome Outcome::FileError{"File Error"};
const Outcome Outcome::OpenFailed{"CanNOT Open Serial"};

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
