#include "download/outcome.h"

const Outcome Outcome::Success{"Download Success"};
const Outcome Outcome::Stop{"Download stop"};
const Outcome Outcome::TimeOut{"Download TimeOut"};
const Outcome Outcome::Cancel{"Download Cancel"};
const Outcome Outcome::FileError{"File Error"};
const Outcome Outcome::OpenFailed{"CanNOT Open Serial"};
