#ifndef SESSIONRESULT_H
#define SESSIONRESULT_H

#include "download/firmwareimage.h"
#include "serial/linesequence.h"
#include "serial/portfailure.h"

#include <QtGlobal>

#include <optional>

class Outcome;

// Each way a session can end. Two exits may share an outcome text and still
// differ in what went out on the line and in how their end is announced.
enum class SessionExit {
    OpenFailure,        // the port did not open or could not be set up
    StartTimeOut,       // no reply to the start frame
    HandshakeRejected,  // the start or prepare reply failed its test
    CancelAfterStart,   // a stop seen after the start reply
    PrepareTimeOut,     // no reply to the prepare frame
    FileError,          // the image could not be read or is not one
    BlockTimeOut,       // no reply to a block frame
    BlockRejected,      // a block's reply failed its test
    CancelDuringBlocks, // a stop seen after a block's reply
    Success,            // every block acknowledged and the end frame sent
    EndFrameNotSent,    // every block acknowledged, but the end frame was lost
};

// What a session did.
struct SessionResult {
    SessionExit exit = SessionExit::OpenFailure;
    std::optional<PortFailure> portFailure;                       // OpenFailure: why
    ImageCheck::Problem imageProblem = ImageCheck::Problem::None; // FileError: why
    int blocksWritten = 0;
    int blocksAcknowledged = 0;
    qint64 elapsedMs = 0; // from the session's first step to its end
    // The line sequences as they ran: their steps' times, and why one
    // stopped short. A `leave` that failed does not change the exit.
    LineSequenceRun enter;
    LineSequenceRun leave;

    const Outcome &outcome() const;
    bool succeeded() const { return exit == SessionExit::Success; }
};

#endif
