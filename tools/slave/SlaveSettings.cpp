#include "SlaveSettings.h"

#include <cmath>

namespace tovik::slave {

void SlaveSettings::SetGainDb(double db) {
  gainDb = db;
  gain = db == 0.0 ? 1.0f : static_cast<float>(std::pow(10.0, db / 20.0));
}

}  // namespace tovik::slave
