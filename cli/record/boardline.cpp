#include "cli/record/boardline.h"

namespace Record
{

bool stampAcknowledged(const Stamp::Plan &plan, const SessionEnd &session)
{
    return session.succeeded || session.blocksWritten >= Stamp::lastBlock(plan) + 2;
}

Board boardLine(const BoardResult &result, const RunImage &image, const QDateTime &time)
{
    Board board;
    board.time = time;
    board.slot = result.port;
    board.number = result.number;
    board.usbSerial = result.usbSerial;
    board.image = image.name;
    board.sha256 = image.sha256;
    board.outcome = result.session.outcome;
    board.exitCode = result.session.exitCode;
    board.seconds = result.session.elapsedMs / 1000.0;
    board.reason = result.session.reason;
    board.job = image.job;
    if (!image.stamp.active())
        return board;
    board.stamp = result.stamp.hex();
    board.stampNumber = result.stamp.numberJson();
    board.stampAcknowledged = stampAcknowledged(image.stamp, result.session);
    board.flashedSha256 = result.flashedSha256;
    return board;
}

} // namespace Record
