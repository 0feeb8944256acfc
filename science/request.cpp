// The checks of a request, before any model is read, and the units resolved
// against the model's volume.
#include "science/request.h"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "common/print.h"
#include "science/table.h"

namespace science {

namespace {

bool Positive(double v) {
  return std::isfinite(v) && v > 0;
}

void RequirePositive(const std::optional<double>& v, const char* quantity, const char* what) {
  if (v && !Positive(*v)) Refuse(Quantity(quantity) + ": " + what + ", a positive number");
}

}  // namespace

double MetresOf(const std::string& unit) {
  if (unit == "m") return 1;
  if (unit == "km") return 1000;
  if (unit == "cm") return 0.01;
  if (unit == "mm") return 0.001;
  Refuse(Quantity("unit") + ": \"" + unit + "\" is not one of m, km, cm, mm");
}

double Units::Mass(double volume) const {
  return Physical() ? density * volume * metres * metres * metres : 0;
}

void Validate(const UnitsRequest& r) {
  MetresOf(r.unit);
  if (!Positive(r.scale)) Refuse(Quantity("scale") + ": a positive number");
  RequirePositive(r.density, "density", "kg/m^3");
  RequirePositive(r.mass, "mass", "kg");
  RequirePositive(r.gm, "gm", "m^3/s^2");
  RequirePositive(r.G, "G", "m^3/(kg s^2)");
  const int given = int{r.density.has_value()} + int{r.mass.has_value()} + int{r.gm.has_value()};
  if (given > 1)
    Refuse(Quantity("density") + ", " + Quantity("mass") + " and " + Quantity("gm") +
           " are alternatives: give one");
  // A constant with nothing to multiply would be dropped without a word.
  if (r.G && given == 0)
    Refuse(Quantity("G") + " needs " + Quantity("density") + ", " + Quantity("mass") + " or " +
           Quantity("gm") + " (without them the results are in G rho = 1)");
}

Units Resolve(const UnitsRequest& r, double volume) {
  Validate(r);
  Units u;
  u.unit = r.unit;
  u.metres = MetresOf(r.unit);
  u.scale = r.scale;
  u.G = r.G.value_or(kG);
  const double cubic_metres = volume * u.metres * u.metres * u.metres;
  if ((r.mass || r.gm) && !Positive(cubic_metres))
    Refuse(Quantity(r.mass ? "mass" : "gm") + " needs a model of positive volume (the volume is " +
           ShortestDigits(volume) + ")");
  if (r.density) {
    u.density = *r.density;
  } else if (r.mass) {
    u.density = *r.mass / cubic_metres;
    u.density_from = "mass " + ShortestDigits(*r.mass) + " kg / volume";
  } else if (r.gm) {
    u.density = *r.gm / (u.G * cubic_metres);
    u.density_from = "GM " + ShortestDigits(*r.gm) + " m^3/s^2 / (G volume)";
  }
  return u;
}

std::vector<std::string> Cautions(const Units& u, const std::optional<double>& spin_period) {
  std::vector<std::string> lines;
  const auto plausible = [](double rho) { return rho >= kLeastDensity && rho <= kMostDensity; };
  const double rho = std::abs(u.density);
  if (u.Physical() && std::isfinite(rho) && !plausible(rho)) {
    const std::string range = ShortestDigits(kLeastDensity) + " to " +
                              ShortestDigits(kMostDensity) + " kg/m^3 of solid bodies";
    if (u.density_from == "given") {
      std::string line =
          Quantity("density") + " " + ShortestDigits(u.density) + " kg/m^3 is outside the " + range;
      if (plausible(rho * 1000))
        line += ": did you mean g/cm^3 (" + ShortestDigits(u.density * 1000) + " kg/m^3)?";
      else
        line += " (the density is in kg/m^3)";
      lines.push_back(line);
    } else {
      // The volume is that of the model in its unit: a model in km read in m
      // has a volume 10^9 times too small, its density as much too large.
      char shown[32];
      std::snprintf(shown, sizeof shown, "%.4g", u.density);
      std::string line =
          "the density (" + u.density_from + ") " + shown + " kg/m^3 is outside the " + range;
      std::string better;
      for (const char* unit : {"km", "m", "cm", "mm"}) {
        const double ratio = MetresOf(unit) / u.metres;
        if (better.empty() && unit != u.unit && plausible(rho / (ratio * ratio * ratio)))
          better = unit;
      }
      line += better.empty() ? ": is " + Quantity("unit") + " " + u.unit + " right?"
                             : ": is the model in " + better + " (" + Quantity("unit") + " " +
                                   better + ") rather than " + u.unit + "?";
      lines.push_back(line);
    }
  }
  if (spin_period && *spin_period > kMaxSpinHours)
    lines.push_back(Quantity("spin_period") + " " + ShortestDigits(*spin_period) +
                    " h is more than " + ShortestDigits(kMaxSpinHours) +
                    " h: hours, not seconds? (" + ShortestDigits(*spin_period) + " s is " +
                    ShortestDigits(*spin_period / kSecondsPerHour) + " h)");
  return lines;
}

unsigned Evaluation::Threads() const {
  if (threads) return *threads;
  // The cores this process may run on (a launcher may have bound it to a
  // few), else every core.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

void Validate(const Evaluation& e) {
  if (e.tolerance) {
    const double t = *e.tolerance;
    if (!(t >= 0 && t < 1))
      Refuse(Quantity("tolerance") + ": not a number between 0 and 1 (" + ShortestDigits(t) + ")");
    if (t > 0 && t < kMinTolerance)
      Refuse(Quantity("tolerance") + ": " + ShortestDigits(t) + " is below " +
             ShortestDigits(kMinTolerance) +
             ", the rounding of the sums themselves (leave it out for the exact sum)");
  }
  if (e.threads && !(*e.threads >= 1 && *e.threads <= kMaxThreads))
    Refuse(Quantity("threads") + ": not a number from 1 to " + std::to_string(kMaxThreads));
}

void Validate(const FieldRequest& r) {
  Validate(r.units);
  Validate(r.evaluation);
}

namespace {

// A figure's text: UTF-8 (cairo draws nothing else, and an SVG holds it as
// it is) of one line, no control character.
void CheckText(const std::string& quantity, const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const size_t n = Utf8At(text, i, &c);
    if (n == 0)
      Refuse(Quantity(quantity) + ": not UTF-8 text (byte " + std::to_string(i + 1) + ")");
    if (c < 0x20 || (c >= 0x7f && c < 0xa0))
      Refuse(Quantity(quantity) + ": one line of text, without control characters");
    i += n;
  }
}

}  // namespace

std::string ColourName(const PictureRequest& r, bool spin) {
  if (!r.colour.empty()) return r.colour;
  return spin ? "slopeeff" : "slope";
}

void Validate(const PictureRequest& r, const std::vector<std::string>& columns) {
  if (!columns.empty() && !r.colour.empty() &&
      std::find(columns.begin(), columns.end(), r.colour) == columns.end())
    Refuse(Quantity("colour") + ": \"" + r.colour + "\" is not a column of the table");
  if (r.range) {
    if (!(std::isfinite(r.range->first) && std::isfinite(r.range->second) &&
          r.range->first < r.range->second))
      Refuse(Quantity("range") + ": two numbers MIN, MAX with MIN < MAX");
  } else {
    const auto [lo, hi] = r.percentiles;
    if (!(lo >= 0 && lo < hi && hi <= 100))
      Refuse(Quantity("percentiles") + ": two numbers LO, HI with 0 <= LO < HI <= 100");
  }
  if (!(std::isfinite(r.view.first) && r.view.second >= -90 && r.view.second <= 90))
    Refuse(Quantity("view") + ": longitude and latitude in degrees, the latitude from -90 to 90");
  const auto in = [](uint32_t p) { return p >= 16 && p <= 16384; };
  if (r.size && (!in(r.size->first) || !in(r.size->second)))
    Refuse(Quantity("size") + ": width and height from 16 to 16384 pixels");
  if (r.map.empty()) Refuse(Quantity("map") + ": a map's name or a CM_STL file");
  if (r.background != "light" && r.background != "dark")
    Refuse(Quantity("background") + ": \"" + r.background + "\" is not one of light, dark");
  if (r.shading != "none" && r.shading != "lambert")
    Refuse(Quantity("shading") + ": \"" + r.shading + "\" is not one of none, lambert");
  CheckText("title", r.title);
  CheckText("label", r.label);
}

void Validate(const SurfaceRequest& r) {
  Validate(r.units);
  Validate(r.evaluation);
  const bool si = r.units.density || r.units.mass || r.units.gm;
  if (r.spin_period) {
    if (!Positive(*r.spin_period)) Refuse(Quantity("spin_period") + ": hours, a positive number");
    if (!si)
      Refuse(Quantity("spin_period") + " needs " + Quantity("density") + ", " + Quantity("mass") +
             " or " + Quantity("gm") + " (SI units)");
  }
  const auto& a = r.spin_axis;
  if (!(std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2])) ||
      (a[0] == 0 && a[1] == 0 && a[2] == 0))
    Refuse(Quantity("spin_axis") + ": three numbers x, y, z, not all zero");
  for (double s : r.slopes)
    if (!(s >= 0 && s <= 180)) Refuse(Quantity("slopes") + ": degrees from 0 to 180");
  for (double p : r.percentiles)
    if (!(p >= 0 && p <= 100)) Refuse(Quantity("percentiles") + ": percents from 0 to 100");
}

void CheckPath(const std::string& quantity, const std::string& path) {
  if (path.find('\0') != std::string::npos)
    Refuse(Quantity(quantity) + ": the file name holds a NUL byte");
}

namespace {

// A file's identity: device and inode of the file, or for a file that does
// not exist yet those of its folder and its name.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;  // of a file not there yet
  bool known = false;
  bool operator==(const Identity& o) const {
    return known && o.known && device == o.device && inode == o.inode && name == o.name;
  }
};

Identity IdentityOf(const std::string& path) {
  Identity id;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    id = {st.st_dev, st.st_ino, "", true};
    return id;
  }
  if (errno != ENOENT) return id;
  const std::filesystem::path p(path);
  const std::filesystem::path folder = p.has_parent_path() ? p.parent_path() : ".";
  if (stat(folder.c_str(), &st) == 0) id = {st.st_dev, st.st_ino, p.filename().string(), true};
  return id;
}

}  // namespace

void Validate(const Files& f) {
  struct Named {
    std::string quantity, path;
    Identity id;
  };
  std::vector<Named> seen;
  std::string standard_input;  // the quantity read from it
  bool standard_output = false;
  for (const auto& [quantity, path] : f.inputs) {
    CheckPath(quantity, path);
    if (path == "-") {
      if (!standard_input.empty())
        Refuse(Quantity(quantity) + " and " + Quantity(standard_input) +
               " cannot both be read from standard input");
      standard_input = quantity;
      continue;
    }
    seen.push_back({quantity, path, IdentityOf(path)});
  }
  for (const auto& [quantity, path] : f.outputs) {
    if (path.empty()) continue;
    CheckPath(quantity, path);
    if (path == "-") {
      if (standard_output)
        Refuse(Quantity(quantity) + ": standard output is written already by another output");
      standard_output = true;
      continue;
    }
    const Identity id = IdentityOf(path);
    for (const Named& other : seen)
      if (other.path == path || id == other.id)
        Refuse(Quantity(quantity) + ": " + path + " is the file of " + Quantity(other.quantity) +
               " too");
    seen.push_back({quantity, path, id});
  }
}

}  // namespace science
