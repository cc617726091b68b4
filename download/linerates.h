#ifndef LINERATES_H
#define LINERATES_H

// The rates the board's boot loader speaks, and the only ones a session sets
// on the line: any other leaves the port at its default.
namespace LineRates
{

inline constexpr int All[] = {115200, 256000};

constexpr bool isLineRate(int rate)
{
    for (const int known : All)
        if (known == rate)
            return true;
    return false;
}

} // namespace LineRates

#endif
