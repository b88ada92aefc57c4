// Solar geometry of the sub-models: declination, equation of time, sun
// position, sunrise and sunset, and the sunlit part of a time step.
#include <algorithm>
#include <cmath>

#include "framework/teilmod.h"

double teilmodellklasse::SolarDeclination(int d, int m) {
  const int J = DayOfYear(CalendarYear(), m, d);
  // 58.09155423 = 365 / 2 pi
  return -23.4 * std::cos((J + 10) / 58.09155423);
}

double teilmodellklasse::EquationOfTime(int d, int m) {
  if (m < 1 || m > 12) return 0.0;
  const double n = DaysInMonth(CalendarYear(), m);
  // Linear from the first of the month to the first of the next month.
  return ((n - d + 1) / n) * eqtime[m] / 60 + ((d - 1) / n) * eqtime[m + 1] / 60;
}

double teilmodellklasse::SunAngles(int d, int m, double lat, double lon, double clockHour) {
  const double e = EquationOfTime(d, m);
  const double delta = SolarDeclination(d, m) * pi / 180;
  const double phi = lat * pi / 180;
  const double t = e + clockHour - (meridian - lon) / 15;  // solar time, hours
  const double omega = (12 - t) * 15 / 180 * pi;           // hour angle
  const double x =
      std::clamp(std::cos(phi) * std::cos(delta) * std::cos(omega) + std::sin(phi) * std::sin(delta), -1.0, 1.0);
  const double z = std::acos(x) * 180 / pi;  // zenith angle, degrees
  return x >= 0 ? 90 - z : z - 90;
}

void teilmodellklasse::SunAnglesAtHour(int d, int m, double& azimuth, double& elevation, double lat, double lon,
                                       double clockHour) {
  lat = std::fmod(lat, 360.0);
  lon = std::fmod(lon, 360.0);
  const double e = EquationOfTime(d, m);
  const double delta = SolarDeclination(d, m) * pi / 180;
  const double phi = lat * pi / 180;
  const double t = std::fmod(e + clockHour - (meridian - lon) / 15 + 24, 24.0);
  const double omega = (12 - t) / 12 * pi;
  const double x =
      std::clamp(std::cos(phi) * std::cos(delta) * std::cos(omega) + std::sin(phi) * std::sin(delta), -1.0, 1.0);
  const double s = std::sqrt(1 - x * x);
  const double c = (std::cos(phi) * std::sin(delta) - std::cos(omega) * std::cos(delta) * std::sin(phi)) / s;
  elevation = pi / 2 - std::acos(x);
  // With the sun in the zenith (s = 0) c is not a number and the azimuth is south.
  if (c > -1 && c < 1) {
    azimuth = std::acos(c);
    if (t > 12) azimuth = 6.28318530718 - azimuth;
  } else {
    azimuth = 3.14159265359;
  }
}

double teilmodellklasse::CosZenith(double azimuth1, double polar1, double azimuth2, double polar2) {
  return std::cos(polar1) * std::cos(polar2) + std::sin(polar1) * std::sin(polar2) * std::cos(azimuth2 - azimuth1);
}

void teilmodellklasse::SunriseSunset(int d, int m, double& rise, double& set, double lat, double lon) {
  lat = std::fmod(lat, 360.0);
  lon = std::fmod(lon, 360.0);
  const double e = EquationOfTime(d, m);
  const double delta = SolarDeclination(d, m) * pi / 180;
  const double phi = lat * pi / 180;
  const double x = std::sin(phi) / std::cos(phi) * std::sin(delta) / std::cos(delta);
  if (std::fabs(x) > 1) {  // polar day or night
    rise = 24;
    set = 0;
    return;
  }
  if (x == 0) {
    rise = 6;
    set = 18;
  } else {
    rise = 12 / pi * std::acos(x);
    set = 24 - rise;
  }
  const double shift = (meridian - lon) / 15 - e;
  rise += shift;
  set += shift;
}

void teilmodellklasse::SunlitFraction() {
  double rise = 0;
  double set = 0;
  const ResultDate step = StepDate();
  SunriseSunset(static_cast<int>(step.day), static_cast<int>(step.month), rise, set, latitude, longitude);
  const double interval = timeinterval / 60;       // hours
  const double tE = step.hour + mintointendhours;  // end of the step
  const double L = timeinterval > 1440 ? 24 : interval;
  const double tS = tE - L;
  sunrise = std::fmod(rise + 24, 24.0);
  sunset = std::fmod(set + 24, 24.0);

  darkbefore = (tS <= sunrise && sunrise < tE) ? sunrise - tS : 0.0;
  if (sunset > sunrise) {
    if (sunset <= tE || tE <= sunrise)
      darkafter = (sunset <= tS || tE <= sunset) ? interval : tE - sunset;
    else
      darkafter = 0;
  } else if (sunset > tE) {
    darkafter = 0;
  } else if (sunset > tS) {
    darkafter = tE - sunset;
  } else {
    darkafter = sunrise > tE ? interval : 0.0;
  }
  double f = L > 0 ? (darkbefore + darkafter) / L : 0.0;
  if (f > 1) f -= 1;
  if (f > 0.95) {
    nightfraction = 1;
    dayfraction = 0;
    night = 1;
  } else {
    nightfraction = f;
    dayfraction = 1 - f;
    night = dayfraction < 0.05 ? 1 : 0;
  }
}
