// The signal relayed when no input file is given.
#pragma once

#include "AudioFile.h"

namespace tovik::host {

// One sine per channel at half full scale: channel c at 220 * (c + 2) Hz, so
// that crossed channels show up in a comparison.
AudioData MakeTestSignal(int channels, int sampleRate, double seconds);

}  // namespace tovik::host
