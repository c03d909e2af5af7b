#include "sim/sim_setup.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "driver/driver_interface.h"
#include "sim/sim_model.h"

namespace trelvo::sim {

namespace {

std::string trim(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// Splits at `sep` outside parentheses; false on unbalanced parentheses.
bool splitTop(const std::string& s, char sep, std::vector<std::string>& parts) {
    parts.clear();
    int depth = 0;
    std::string cur;
    for (char c : s) {
        if (c == '(') ++depth;
        if (c == ')' && --depth < 0) return false;
        if (c == sep && depth == 0) {
            parts.push_back(trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (depth != 0) return false;
    parts.push_back(trim(cur));
    return true;
}

bool parseUnsigned(const std::string& s, uint64_t maxValue, uint64_t& value) {
    if (!allDigits(s) || s.size() > 12) return false;
    value = std::strtoull(s.c_str(), nullptr, 10);
    return value <= maxValue;
}

// A number with an optional unit suffix from `suffixes` (each with its factor).
bool parseNumber(const std::string& text, double& value,
                 std::initializer_list<std::pair<const char*, double>> suffixes = {}) {
    const std::string s = trim(text);
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || errno == ERANGE || !std::isfinite(v)) return false;
    const std::string rest = trim(std::string(end));
    if (rest.empty()) {
        value = v;
        return true;
    }
    for (const auto& [name, factor] : suffixes)
        if (rest == name) {
            value = v * factor;
            return true;
        }
    return false;
}

const char* firmwareName(const std::string& s, FirmwareState& state) {
    if (s == "running")
        state = FirmwareState::Running;
    else if (s == "rev2")
        state = FirmwareState::OtherRevision;
    else if (s == "blank")
        state = FirmwareState::Blank;
    else if (s == "chipa")
        state = FirmwareState::BlankChipMaker1;
    else if (s == "chipb")
        state = FirmwareState::BlankChipMaker2;
    else if (s == "chipc")
        state = FirmwareState::BlankChipMaker3;
    else
        return nullptr;
    return "ok";
}

// "command", "reply" or "stream" with an optional "@N" (N transfers still
// succeed first), or "descriptor".
bool parseFailure(const std::string& value, SimSetup::Faults& faults) {
    const auto at = value.find('@');
    const std::string pipe = trim(value.substr(0, at));
    uint64_t okCount = 0;
    if (at != std::string::npos && !parseUnsigned(trim(value.substr(at + 1)), 0x7FFFFFFF, okCount))
        return false;
    if (pipe == "descriptor" && at == std::string::npos) {
        faults.descriptorFails = true;
        return true;
    }
    uint32_t index;
    if (pipe == "command")
        index = kPipeBulkOut;
    else if (pipe == "reply")
        index = kPipeBulkIn;
    else if (pipe == "stream")
        index = kPipeIsoIn;
    else
        return false;
    faults.failAfter[index] = static_cast<int>(okCount);
    return true;
}

bool parseUnit(const std::string& item, int index, SimSetup::Unit& unit, std::string& error) {
    const auto where = "unit " + std::to_string(index);
    const auto colon = item.find(':');
    const std::string variant = trim(item.substr(0, colon));
    unit.index = index;
    if (variant == "12" || variant == "12bit")
        unit.config.variantBits = 12;
    else if (variant == "10" || variant == "10bit")
        unit.config.variantBits = 10;
    else {
        error = where + ": unknown variant \"" + variant + "\" (expected 12, 10, 12bit or 10bit)";
        return false;
    }
    if (colon == std::string::npos) return true;
    std::vector<std::string> options;
    if (!splitTop(item.substr(colon + 1), ';', options)) {
        error = where + ": unbalanced parentheses";
        return false;
    }
    for (const auto& option : options) {
        const auto eq = option.find('=');
        const std::string key = trim(option.substr(0, eq));
        const std::string value =
            eq == std::string::npos ? std::string() : trim(option.substr(eq + 1));
        FirmwareState fw = FirmwareState::Running;
        uint64_t n = 0;
        if (option.empty()) {
            error = where + ": empty option";
            return false;
        } else if (eq == std::string::npos) {
            if (key == "fast")
                unit.config.fastClock = true;
            else if (key == "held")
                unit.heldElsewhere = true;
            else if (key == "noreturn")
                unit.faults.neverReturn = true;
            else if (key == "overlong")
                unit.faults.overlongOnce = true;
            else if (firmwareName(key, fw))
                unit.config.firmware = fw;
            else {
                error = where + ": unknown option \"" + key + "\"";
                return false;
            }
        } else if (key == "delay") {
            if (!parseUnsigned(value, 600000, n)) {
                error = where + ": delay must be 0..600000 ms, got \"" + value + "\"";
                return false;
            }
            unit.config.reenumerateDelayMs = static_cast<uint32_t>(n);
        } else if (key == "seed") {
            if (!parseUnsigned(value, 0xFFFFFFFFull, n)) {
                error = where + ": seed must be 0..4294967295, got \"" + value + "\"";
                return false;
            }
            unit.config.seed = static_cast<uint32_t>(n);
        } else if (key == "frame") {
            if (!parseUnsigned(value, 0xFFFFFFFFull, n)) {
                error = where + ": frame must be 0..4294967295, got \"" + value + "\"";
                return false;
            }
            unit.config.frameBase = static_cast<uint32_t>(n);
        } else if (key == "batch") {
            if (!parseUnsigned(value, 400, n) || n == 0) {
                error = where + ": batch must be 1..400 frames, got \"" + value + "\"";
                return false;
            }
            unit.config.batchFrames = static_cast<uint32_t>(n);
        } else if (key == "unplug") {
            if (!parseUnsigned(value, 86400000, n)) {
                error = where + ": unplug must be 0..86400000 ms, got \"" + value + "\"";
                return false;
            }
            unit.faults.unplugAfterMs = static_cast<uint32_t>(n);
        } else if (key == "replug") {
            if (!parseUnsigned(value, 86400000, n)) {
                error = where + ": replug must be 0..86400000 ms, got \"" + value + "\"";
                return false;
            }
            unit.faults.replugAfterMs = static_cast<uint32_t>(n);
        } else if (key == "fail") {
            if (!parseFailure(value, unit.faults)) {
                error = where + ": fail must be command, reply or stream with an optional @N, " +
                        "or descriptor; got \"" + value + "\"";
                return false;
            }
        } else if (key == "identity") {
            using Identity = SimSetup::Faults::Identity;
            if (value == "checksum")
                unit.faults.identity = Identity::BadChecksum;
            else if (value == "variant")
                unit.faults.identity = Identity::BadVariant;
            else if (value == "short")
                unit.faults.identity = Identity::Short;
            else {
                error =
                    where + ": identity must be checksum, variant or short, got \"" + value + "\"";
                return false;
            }
        } else if (key == "return") {
            if (!parseUnsigned(value, usb::kDeviceFileCount - 1, n)) {
                error = where + ": return must be a device file 0..63, got \"" + value + "\"";
                return false;
            }
            unit.faults.returnIndex = static_cast<int>(n);
        } else if (key == "overlong" || key == "dropframes" || key == "dropbytes") {
            if (!parseUnsigned(value, 0xFFFFFFFFull, n) || n == 0) {
                error = where + ": " + key + " must be 1..4294967295 (every n-th), got \"" + value +
                        "\"";
                return false;
            }
            (key == "overlong"     ? unit.faults.overlongEvery
             : key == "dropframes" ? unit.faults.dropFrames
                                   : unit.faults.dropBytes) = static_cast<uint32_t>(n);
        } else if (key == "notready") {
            if (value == "always") {
                unit.faults.notReady = -1;
            } else if (parseUnsigned(value, 0x7FFFFFFF, n)) {
                unit.faults.notReady = static_cast<int>(n);
            } else {
                error = where + ": notready must be a count or always, got \"" + value + "\"";
                return false;
            }
        } else if (key == "fw") {
            if (!firmwareName(value, fw)) {
                error = where + ": unknown firmware \"" + value +
                        "\" (running, rev2, blank, chipa, chipb, chipc)";
                return false;
            }
            unit.config.firmware = fw;
        } else if (key == "all" || key.rfind("ch", 0) == 0) {
            Signal signal;
            std::string why;
            if (!parseSignal(value, signal, why)) {
                error = where + ", " + key + ": " + why;
                return false;
            }
            if (key == "all") {
                unit.config.signals.fill(signal);
            } else if (parseUnsigned(key.substr(2), 11, n) && n >= 1) {
                unit.config.signals[static_cast<std::size_t>(n - 1)] = signal;
            } else {
                error = where + ": unknown channel \"" + key + "\" (ch1..ch11 or all)";
                return false;
            }
        } else {
            error = where + ": unknown option \"" + key + "\"";
            return false;
        }
    }
    return true;
}

bool parseVersion(const std::string& value, SimSetup::Version& v) {
    std::vector<std::string> parts;
    splitTop(value, '.', parts);
    if (parts.size() < 2 || parts.size() > 3) return false;
    uint64_t n[3] = {0, 0, 0};
    for (std::size_t i = 0; i < parts.size(); ++i)
        if (!parseUnsigned(parts[i], 65535, n[i])) return false;
    v.major = static_cast<uint16_t>(n[0]);
    v.minor = static_cast<uint16_t>(n[1]);
    v.build = static_cast<uint16_t>(n[2]);
    return true;
}

}  // namespace

bool parseSignal(const std::string& input, Signal& signal, std::string& error) {
    const std::string text = lower(trim(input));
    const auto open = text.find('(');
    const std::string name = trim(text.substr(0, open));
    std::vector<std::string> args;
    if (open != std::string::npos) {
        if (text.back() != ')') {
            error = "signal \"" + text + "\" must end with ')'";
            return false;
        }
        const std::string inner = text.substr(open + 1, text.size() - open - 2);
        if (inner.find_first_of("()") != std::string::npos) {
            error = "nested parentheses in signal \"" + text + "\"";
            return false;
        }
        if (!trim(inner).empty()) splitTop(inner, ',', args);
    }
    Signal s;
    s.level = 2048;
    s.amplitude = 1800;
    s.frequencyHz = 10;
    s.phaseDeg = 0;
    s.noise = 0;
    std::size_t maxArgs = 0;
    if (name == "dc")
        s.waveform = Waveform::Dc, maxArgs = 2;
    else if (name == "sine")
        s.waveform = Waveform::Sine, maxArgs = 5;
    else if (name == "square")
        s.waveform = Waveform::Square, maxArgs = 5;
    else if (name == "triangle")
        s.waveform = Waveform::Triangle, maxArgs = 5;
    else if (name == "ramp")
        s.waveform = Waveform::Ramp, maxArgs = 5;
    else if (name == "counter")
        s.waveform = Waveform::Counter, maxArgs = 1;
    else if (name == "noise")
        s.waveform = Waveform::Noise, maxArgs = 2;
    else {
        error =
            "unknown waveform \"" + name + "\" (dc, sine, square, triangle, ramp, counter, noise)";
        return false;
    }
    if (s.waveform == Waveform::Counter) s.level = 0;
    if (s.waveform == Waveform::Noise) s.amplitude = 20;
    if (args.size() > maxArgs) {
        error = name + " takes at most " + std::to_string(maxArgs) + " arguments";
        return false;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        double v = 0;
        bool ok;
        const bool periodic = maxArgs == 5;
        if (periodic && i == 2)
            ok = parseNumber(args[i], v, {{"hz", 1.0}, {"khz", 1000.0}});
        else if (periodic && i == 3)
            ok = parseNumber(args[i], v, {{"deg", 1.0}});
        else
            ok = parseNumber(args[i], v);
        if (!ok) {
            error = "bad number \"" + args[i] + "\" in " + name;
            return false;
        }
        if (i == 0)
            s.level = v;
        else if (s.waveform == Waveform::Dc)
            s.noise = v;  // dc(level, noise)
        else if (i == 1)
            s.amplitude = v;  // noise(level, sd) too
        else if (i == 2)
            s.frequencyHz = v;
        else if (i == 3)
            s.phaseDeg = v;
        else
            s.noise = v;
    }
    if (s.frequencyHz < 0 || s.noise < 0 || (s.waveform == Waveform::Noise && s.amplitude < 0)) {
        error = "negative frequency or noise in " + name;
        return false;
    }
    signal = s;
    return true;
}

bool parseSimulateSetup(const std::string& input, SimSetup& setup, std::string& error) {
    setup = SimSetup{};
    const std::string text = lower(trim(input));
    if (text.empty()) {
        error = "empty value";
        return false;
    }
    if (allDigits(text)) {
        uint64_t n = 0;
        if (!parseUnsigned(text, usb::kDeviceFileCount, n)) {
            error = "unit count must be 0.." + std::to_string(usb::kDeviceFileCount) + ", got \"" +
                    text + "\"";
            return false;
        }
        for (int i = 0; i < static_cast<int>(n); ++i) {
            SimSetup::Unit u;
            u.index = i;
            setup.units.push_back(u);
        }
        return true;
    }
    std::vector<std::string> items;
    if (!splitTop(text, ',', items)) {
        error = "unbalanced parentheses";
        return false;
    }
    int index = 0;
    for (const auto& item : items) {
        if (item.empty()) {
            error = "empty entry in the list (two commas, or a comma at an end)";
            return false;
        }
        if (item.rfind("driver=", 0) == 0) {
            SimSetup::Version v;
            if (!parseVersion(item.substr(7), v)) {
                error =
                    "driver version must be MAJOR.MINOR[.BUILD], got \"" + item.substr(7) + "\"";
                return false;
            }
            setup.driverVersion = v;
            continue;
        }
        if (index >= usb::kDeviceFileCount) {
            error = "more than " + std::to_string(usb::kDeviceFileCount) + " device files";
            return false;
        }
        if (item == "-") {
            ++index;
            continue;
        }
        SimSetup::Unit u;
        if (!parseUnit(item, index, u, error)) return false;
        setup.units.push_back(u);
        ++index;
    }
    return true;
}

}  // namespace trelvo::sim
