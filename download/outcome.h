#ifndef OUTCOME_H
#define OUTCOME_H

// How a download session ended: the text the worker sends with setFinish()
// and the exit status a program reports for it. Every outcome text and every
// exit status is declared here and nowhere else.
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
} // namespace ExitStatus

class Outcome
{
public:
    // Sent through queued signals as bare pointers, so these are literals
    // with static lifetime.
    static const Outcome Success;
    static const Outcome Stop;
    static const Outcome TimeOut;
    static const Outcome Cancel;
    static const Outcome FileError;
    static const Outcome OpenFailed;

    // The outcome whose text is `finishText`; nullptr for none of them.
    static const Outcome *fromText(const char *finishText);

    const char *text() const { return finishText; }
    int exitStatus() const { return status; }
    bool succeeded() const { return this == &Success; }

private:
    constexpr Outcome(const char *text, int status) : finishText(text), status(status) {}

    const char *finishText;
    int status;
};

#endif
