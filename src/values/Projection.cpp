#include "values/Projection.h"

#include <algorithm>

double ProjectedAverage(double averageSoFar, double instantaneous, uint32_t elapsedSeconds, uint32_t lengthSeconds)
{
    if (lengthSeconds == 0)
        return averageSoFar;
    const double elapsed = std::min(elapsedSeconds, lengthSeconds);
    const double length = lengthSeconds;
    return averageSoFar * elapsed / length + instantaneous * (length - elapsed) / length;
}
