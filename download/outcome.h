#ifndef OUTCOME_H
#define OUTCOME_H

// How a download session ended: the text the worker sends with setFinish().
// Every outcome text is declared here and nowhere else.
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

    const char *text() const { return finishText; }
    bool succeeded() const { return this == &Success; }

private:
    constexpr explicit Outcome(const char *text) : finishText(text) {}

    const char *finishText;
};

#endif
