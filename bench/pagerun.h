#ifndef PAGERUN_H
#define PAGERUN_H

#include <QString>
#include <QVector>

// Page runs: eight boards at once through the real kavro-flash with its live
// page served, alternately with and without a process of hostile and polling
// clients on the page. The sessions' pace must not depend on them.
namespace Bench
{

inline constexpr int PageBoards = 8;
inline constexpr int PagePollers = 50;
inline constexpr int PageHolders = 10;

struct PageResult {
    QVector<double> withClients, withoutClients; // the slowest board's share, per run
    QVector<double> pollsPerSecond;              // the clients' answered polls, per run
};

// `runs` of each, alternating, the first without clients.
bool pageWay(const QString &flasher, int blocks, int runs, PageResult &result, QString *error);

void printPageTable(const PageResult &result, int blocks);

} // namespace Bench

#endif
