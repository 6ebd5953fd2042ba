#pragma once
// The average power the running interval will close with if the present
// power holds to its end: the average so far over the elapsed part and the
// instantaneous power over the rest,
//   average × elapsed / length + instantaneous × (length − elapsed) / length.
// The regulator's "average power in the interval" is read as the mean over
// the elapsed part. Elapsed beyond the length counts as the whole interval;
// a length of 0 gives the average as it stands.
#include <cstdint>

double ProjectedAverage(double averageSoFar, double instantaneous, uint32_t elapsedSeconds, uint32_t lengthSeconds);
