#include "sim/sim_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "device/identity.h"

namespace trelvo::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kSineTableSize = 4096;

uint64_t splitmix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Deterministic standard normal deviate for (seed, channel, n, salt).
double gaussian(uint32_t seed, int channel, uint64_t n, uint64_t salt) {
    const uint64_t key =
        splitmix(splitmix(seed ^ (salt << 40)) ^ (static_cast<uint64_t>(channel) << 48) ^ n);
    const uint64_t a = splitmix(key), b = splitmix(key ^ 0xD1B54A32D192ED03ULL);
    const double u1 = (static_cast<double>(a >> 11) + 1.0) / 9007199254740992.0;  // (0, 1]
    const double u2 = static_cast<double>(b >> 11) / 9007199254740992.0;          // [0, 1)
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

uint32_t readU32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Conversions k in [0, n) (k = j - 1) that fall on scan slot s of L.
uint64_t slotCount(uint64_t n, uint64_t s, uint64_t L) {
    return n / L + ((n % L) > s ? 1 : 0);
}

}  // namespace

Signal defaultSignal(int channel) {
    Signal s;
    s.waveform = Waveform::Sine;
    s.level = 2048;
    s.amplitude = 1800;
    s.frequencyHz = 5.0 * channel;
    s.phaseDeg = 0;
    s.noise = 0;
    return s;
}

std::array<Signal, 11> defaultSignals() {
    std::array<Signal, 11> a;
    for (int c = 1; c <= 11; ++c) a[static_cast<std::size_t>(c - 1)] = defaultSignal(c);
    return a;
}

namespace {

// sin(2 pi i / 4096) for i = 0..4096, as floats.
std::array<float, kSineTableSize + 1> makeSineTable() {
    std::array<float, kSineTableSize + 1> table{};
    for (std::size_t i = 0; i <= kSineTableSize; ++i)
        table[i] = static_cast<float>(
            std::sin(2.0 * kPi * static_cast<double>(i) / static_cast<double>(kSineTableSize)));
    return table;
}
const std::array<float, kSineTableSize + 1> kSineTable = makeSineTable();

// sin(2 pi phase) for phase in [0, 1), within 3.6e-7 of the library's sin of
// the same argument: linear interpolation in a table of 4096 steps per turn
// (at most (2 pi / 4096)^2 / 8 = 2.9e-7) of values rounded to float (6e-8).
double fastSinTurns(double phase) {
    const double x = phase * static_cast<double>(kSineTableSize);
    // A phase that rounded up to 1, or one that is not a number at all.
    if (!(x >= 0 && x < static_cast<double>(kSineTableSize))) return std::sin(2.0 * kPi * phase);
    const auto i = static_cast<std::size_t>(x);  // 0..4095
    const double low = kSineTable[i], high = kSineTable[i + 1];
    return low + (x - static_cast<double>(i)) * (high - low);
}

// std::floor for the phases that occur (exact below 2^62 in magnitude),
// without a library call.
double floorOf(double x) {
    if (!(std::fabs(x) < 4.6e18)) return std::floor(x);
    const auto whole = static_cast<double>(static_cast<int64_t>(x));
    return whole > x ? whole - 1 : whole;
}

// The clamp and rounding every waveform ends with: 0..4095, halves away from
// zero (std::lround), the 10-bit unit's two low bits cleared.
uint16_t finish(double v, bool tenBit) {
    if (!(v > 0)) v = 0;  // also catches NaN
    if (v > 4095) v = 4095;
    auto value = static_cast<uint16_t>(std::lround(v));
    if (tenBit) value &= 0xFFC;
    return value;
}

// The waveform's value before clamping and rounding, with `sine` giving
// sin(2 pi phase).
template <typename Sine>
double rawValue(const SignalPlan& plan, double seconds, uint64_t n, uint32_t seed, int channel,
                Sine sine) {
    const Signal& signal = plan.signal;
    double phase = signal.frequencyHz * seconds + plan.phaseTurns;
    phase -= floorOf(phase);
    double v = signal.level;
    switch (signal.waveform) {
        case Waveform::Dc:
            break;
        case Waveform::Sine:
            v += signal.amplitude * sine(phase);
            break;
        case Waveform::Square:
            v += phase < 0.5 ? signal.amplitude : -signal.amplitude;
            break;
        case Waveform::Triangle: {
            const double y = phase < 0.25   ? 4 * phase
                             : phase < 0.75 ? 2 - 4 * phase
                                            : 4 * phase - 4;
            v += signal.amplitude * y;
            break;
        }
        case Waveform::Ramp:
            v += signal.amplitude * (2 * phase - 1);
            break;
        case Waveform::Noise:
            v += signal.amplitude * gaussian(seed, channel, n, 1);
            break;
        case Waveform::Counter:
            break;
    }
    if (signal.noise > 0) v += signal.noise * gaussian(seed, channel, n, 2);
    return v;
}

}  // namespace

SignalPlan planSignal(const Signal& signal) {
    SignalPlan plan;
    plan.signal = signal;
    plan.phaseTurns = signal.phaseDeg / 360.0;
    plan.margin = 1e-6 * (std::fabs(signal.amplitude) + 1);
    const double level = signal.level;
    plan.counterStart = std::fabs(level) < 4.0e15 && level == floorOf(level)
                            ? static_cast<int64_t>(level)
                            : std::llround(level);
    return plan;
}

uint16_t signalValue(const Signal& signal, double seconds, uint64_t n, uint32_t seed, int channel,
                     int variantBits) {
    return planValue(planSignal(signal), seconds, n, seed, channel, variantBits);
}

uint16_t planValue(const SignalPlan& plan, double seconds, uint64_t n, uint32_t seed, int channel,
                   int variantBits) {
    const bool tenBit = variantBits == 10;
    const Signal& signal = plan.signal;
    if (signal.waveform == Waveform::Counter) {
        // (start + step (n mod 4096)) mod 4096, the mathematical modulo; in
        // two's complement that is the low 12 bits.
        const uint64_t step = tenBit ? 4 : 1;
        const uint64_t v = (static_cast<uint64_t>(plan.counterStart) + step * (n & 4095)) & 4095;
        return static_cast<uint16_t>(tenBit ? (v & 0xFFC) : v);
    }
    if (signal.waveform != Waveform::Sine)
        return finish(rawValue(plan, seconds, n, seed, channel, [](double) { return 0.0; }),
                      tenBit);
    // The sine's value decides only which integer it rounds to. The fast
    // sine is within 3.6e-7 of std::sin; unless the result lies so close to a
    // rounding boundary (k + 0.5, k = 0..4094; clamping adds none) that the
    // difference could matter, both give the same reading. Near one,
    // std::sin decides, so the readings are those of std::sin exactly.
    const double v = rawValue(plan, seconds, n, seed, channel, fastSinTurns);
    const double margin = plan.margin;
    const uint16_t top = tenBit ? 4092 : 4095;
    if (v < 0.5 - margin) return 0;  // also below 0: clamped
    if (v > 4094.5 + margin && v <= 1e300) return top;
    if (v > 0.5 + margin && v < 4094.5 - margin) {
        const double shifted = v + 0.5;
        const auto k = static_cast<int>(shifted);
        const double above = shifted - k;  // distance above the boundary k - 0.5
        if (above > margin && above < 1 - margin)
            return static_cast<uint16_t>(tenBit ? (k & 0xFFC) : k);
    }
    return finish(rawValue(plan, seconds, n, seed, channel,
                           [](double phase) { return std::sin(2.0 * kPi * phase); }),
                  tenBit);
}

std::array<uint8_t, 3> encodeSample(uint8_t slot, uint16_t value) {
    return {static_cast<uint8_t>((slot << 1) | 1), static_cast<uint8_t>(((value & 0x7F) << 1) | 1),
            static_cast<uint8_t>(((value >> 7) << 1) & 0xFE)};
}

int channelOfCode(uint8_t code) {
    const int high = code >> 4;
    return high > 10 ? 0 : 11 - high;
}

std::array<uint8_t, 64> defaultIdentity(int variantBits, int serial) {
    std::array<uint8_t, 64> r{};
    r[0] = 0x01;  // record layout 1 (not interpreted by the library)
    r[device::kIdentityHardwareVersionOffset] = 3;  // hardware version 3
    r[device::kIdentityVariantCodeOffset] = variantBits == 10 ? 0 : 1;
    char first[16];
    std::snprintf(first, sizeof first, "SIM%05d", serial % 100000);
    std::memcpy(&r[device::kIdentityFirstTextOffset], first, std::strlen(first));
    const char* second = variantBits == 10 ? "Simulated TRELVO/10" : "Simulated TRELVO/12";
    std::memcpy(&r[device::kIdentitySecondTextOffset], second, std::strlen(second));
    device::identitySeal(r.data());
    return r;
}

bool firmwareRuns(FirmwareState firmware) {
    return firmware == FirmwareState::Running || firmware == FirmwareState::OtherRevision;
}

usb::DeviceDescriptor descriptorFor(FirmwareState firmware) {
    usb::DeviceDescriptor d{};
    d.bLength = 18;
    d.bDescriptorType = 1;
    d.bcdUSB = 0x0100;
    d.bDeviceClass = 0xFF;
    d.bDeviceSubClass = 0xFF;
    d.bDeviceProtocol = 0xFF;
    d.bMaxPacketSize0 = 64;
    d.bNumConfigurations = 1;
    switch (firmware) {
        case FirmwareState::Running:
        case FirmwareState::OtherRevision:
            d.idVendor = usb::kOwnVendorId;
            d.idProduct = usb::kUnitProductId;
            d.bcdDevice = firmware == FirmwareState::Running ? 1 : 2;
            d.iManufacturer = 1;
            d.iProduct = 2;
            break;
        case FirmwareState::Blank:
            d.idVendor = usb::kOwnVendorId;
            d.idProduct = usb::kBlankProductId;
            break;
        case FirmwareState::BlankChipMaker1:
            d.idVendor = usb::kChipMakerVendorA;
            d.idProduct = usb::kChipMakerProductA;
            break;
        case FirmwareState::BlankChipMaker2:
            d.idVendor = usb::kChipMakerVendorB;
            d.idProduct = usb::kChipMakerProductB;
            break;
        case FirmwareState::BlankChipMaker3:
            d.idVendor = usb::kChipMakerVendorC;
            d.idProduct = usb::kChipMakerProductC;
            d.bcdUSB = 0x0200;
            break;
    }
    return d;
}

usb::InterfaceInfo interfaceInfoFor(FirmwareState firmware) {
    usb::InterfaceInfo info{};
    info.header[0] = sizeof(usb::InterfaceInfo) & 0xFF;
    info.header[1] = sizeof(usb::InterfaceInfo) >> 8;
    info.header[4] = 0xFF;  // vendor-specific class
    info.header[5] = 0xFF;
    info.header[6] = 0xFF;
    info.header[8] = 0x00;  // interface handle (opaque)
    info.header[9] = 0x10;
    if (!firmwareRuns(firmware)) return info;  // a blank controller: no endpoints
    info.pipeCount = 3;
    info.pipes[kPipeIsoIn] = {static_cast<uint16_t>(kIsoMaxPacket),
                              0x88,
                              1,
                              usb::kPipeIsochronous,
                              0x2000,
                              kMaxTransferSize,
                              0};
    info.pipes[kPipeBulkOut] = {static_cast<uint16_t>(kBulkMaxPacket),
                                0x02,
                                0,
                                usb::kPipeBulk,
                                0x2001,
                                kMaxTransferSize,
                                0};
    info.pipes[kPipeBulkIn] = {static_cast<uint16_t>(kBulkMaxPacket),
                               0x82,
                               0,
                               usb::kPipeBulk,
                               0x2002,
                               kMaxTransferSize,
                               0};
    return info;
}

bool validateFirmwareImage(const uint8_t* image, std::size_t length, std::string* reason) {
    auto fail = [&](const std::string& why) {
        if (reason) *reason = why;
        return false;
    };
    constexpr std::size_t kRecord = sizeof(usb::FirmwareRecord);
    if (!image || length == 0) return fail("empty image");
    if (length % kRecord != 0) return fail("length is not a whole number of 22-byte records");
    const std::size_t count = length / kRecord;
    for (std::size_t i = 0; i < count; ++i) {
        usb::FirmwareRecord r;
        std::memcpy(&r, image + i * kRecord, kRecord);
        if (r.length > 16) return fail("record " + std::to_string(i) + ": length above 16");
        if (r.length == 0) {
            if (r.type != 1 && r.type != 0)
                return fail("record " + std::to_string(i) + ": bad end record type");
            if (i + 1 != count) return fail("records after the end record");
            return true;
        }
        if (r.type != 0)
            return fail("record " + std::to_string(i) + ": data record of type " +
                        std::to_string(r.type));
        if (static_cast<uint32_t>(r.address) + r.length > 0x10000)
            return fail("record " + std::to_string(i) + ": runs past the 64 KiB address space");
    }
    return fail("no end record");
}

uint64_t conversionsBefore(uint64_t start, uint64_t period, uint64_t t) {
    if (period == 0 || t <= start) return 0;
    return (t - start - 1) / period;
}

// ---- UnitModel ----------------------------------------------------------------

UnitModel::UnitModel(const UnitConfig& config, int serial)
    : config_(config),
      firmware_(config.firmware),
      identity_(defaultIdentity(config.variantBits, serial)) {
    for (std::size_t c = 0; c < plans_.size(); ++c) plans_[c] = planSignal(config_.signals[c]);
}

void UnitModel::syncTime(uint64_t tick) {
    if (!config_.fastClock && tick > now_) now_ = tick;
}

uint32_t UnitModel::frameNumber() const {
    return static_cast<uint32_t>(config_.frameBase + now_ / kTicksPerFrame);
}

void UnitModel::setSignal(int channel, const Signal& s) {
    if (channel < 1 || channel > 11) return;
    config_.signals[static_cast<std::size_t>(channel - 1)] = s;
    plans_[static_cast<std::size_t>(channel - 1)] = planSignal(s);
}

Signal UnitModel::signal(int channel) const {
    if (channel < 1 || channel > 11) return Signal{};
    return config_.signals[static_cast<std::size_t>(channel - 1)];
}

void UnitModel::failTransfersAfter(uint32_t pipe, int okCount) {
    if (okCount < 0)
        transferBudget_.erase(pipe);
    else
        transferBudget_[pipe] = okCount;
}

bool UnitModel::pipeTransferAllowed(uint32_t pipe) {
    auto it = transferBudget_.find(pipe);
    if (it == transferBudget_.end()) return true;
    if (it->second == 0) return false;
    --it->second;
    return true;
}

uint16_t UnitModel::convert(int channelCode, uint64_t tick) {
    outputs_ = maskRegister_ & 3;
    const int channel = channelOfCode(static_cast<uint8_t>(channelCode));
    if (channel == 0) return 0;  // no input behind that code: reads as ground
    const uint64_t n = channelConversions_[static_cast<std::size_t>(channel)]++;
    return planValue(plans_[static_cast<std::size_t>(channel - 1)],
                     static_cast<double>(tick) / static_cast<double>(kTicksPerSecond), n,
                     config_.seed, channel, config_.variantBits);
}

void UnitModel::convertUpTo(uint64_t t, bool keepBytes) {
    if (!sampling_ || scanLength_ == 0) return;
    const uint64_t total = conversionsBefore(samplingStart_, period_, t);
    if (total <= conversionsDone_) return;
    const uint64_t L = scanLength_;
    if (keepBytes) {
        // Conversion j of slot (j - 1) mod L at tick start + j x period, as
        // convert() would do it one by one; the slot and tick are stepped
        // instead of divided, and a conversion that no longer fits the frame
        // only counts (its value would be thrown away).
        uint64_t j = conversionsDone_ + 1;
        auto slot = static_cast<uint8_t>((j - 1) % L);
        uint64_t tick = samplingStart_ + j * period_;
        std::array<int, 11> channels{};
        for (uint64_t s = 0; s < L; ++s) channels[s] = channelOfCode(scanList_[s]);
        const double ticksPerSecond = static_cast<double>(kTicksPerSecond);
        uint16_t length = building_.length;
        for (; j <= total; ++j) {
            const int channel = channels[slot];
            if (length + 3u <= kIsoMaxPacket) {
                uint16_t v = 0;  // a code with no input behind it reads as ground
                if (channel) {
                    const uint64_t n = channelConversions_[static_cast<std::size_t>(channel)]++;
                    v = planValue(plans_[static_cast<std::size_t>(channel - 1)],
                                  static_cast<double>(tick) / ticksPerSecond, n, config_.seed,
                                  channel, config_.variantBits);
                }
                uint8_t* out = &building_.data[length];
                out[0] = static_cast<uint8_t>((slot << 1) | 1);
                out[1] = static_cast<uint8_t>(((v & 0x7F) << 1) | 1);
                out[2] = static_cast<uint8_t>(((v >> 7) << 1) & 0xFE);
                length = static_cast<uint16_t>(length + 3);
            } else {
                if (channel) ++channelConversions_[static_cast<std::size_t>(channel)];
                ++stats_.conversionsLost;
            }
            if (++slot == L) slot = 0;
            tick += period_;
        }
        building_.length = length;
        outputs_ = maskRegister_ & 3;
    } else {
        for (uint64_t s = 0; s < L; ++s) {
            const uint64_t count = slotCount(total, s, L) - slotCount(conversionsDone_, s, L);
            const int channel = channelOfCode(scanList_[s]);
            if (channel) channelConversions_[static_cast<std::size_t>(channel)] += count;
        }
        outputs_ = maskRegister_ & 3;
    }
    stats_.conversions += total - conversionsDone_;
    conversionsDone_ = total;
}

void UnitModel::emitFrame() {
    if (receiving_) {
        Packet p = building_;
        ++framesSeen_;
        if (dropFramesEvery_ && framesSeen_ % dropFramesEvery_ == 0) {
            // Lost on the bus: the host controller reports the packet as
            // failed, with no data, as it does for a real lost frame.
            p.length = 0;
            p.failed = true;
        }
        if (dropBytesEvery_ && p.length) {
            uint16_t kept = 0;
            for (uint16_t i = 0; i < p.length; ++i) {
                ++streamBytesSeen_;
                if (streamBytesSeen_ % dropBytesEvery_ == 0) continue;
                p.data[kept++] = p.data[i];
            }
            p.length = kept;
        }
        queue_.push_back(p);
        ++stats_.framesQueued;
        if (queue_.size() > backlogLimit_) {
            queue_.pop_front();
            ++stats_.framesOverrun;
        }
    }
    building_ = Packet{};
    ++frame_;
}

void UnitModel::advance() {
    const uint64_t complete = now_ / kTicksPerFrame;  // frames wholly in the past
    if (complete > frame_) {
        if (!sampling_ && !receiving_) {
            frame_ = complete;
            building_ = Packet{};
        } else if (!receiving_) {
            convertUpTo(complete * kTicksPerFrame, false);
            frame_ = complete;
            building_ = Packet{};
        } else if (complete - frame_ > backlogLimit_) {
            // Nobody read for longer than the driver buffers: skip what it would drop.
            const uint64_t skipTo = complete - backlogLimit_;
            convertUpTo(skipTo * kTicksPerFrame, false);
            stats_.framesOverrun += skipTo - frame_;
            frame_ = skipTo;
            building_ = Packet{};
        }
    }
    while (frame_ < complete) {
        convertUpTo((frame_ + 1) * kTicksPerFrame, true);
        emitFrame();
    }
    convertUpTo(now_, receiving_);
}

void UnitModel::stopSampling() {
    sampling_ = false;
}

void UnitModel::commandPacket(const uint8_t* data, std::size_t length) {
    for (std::size_t off = 0; off < length; off += kBulkMaxPacket) {
        const std::size_t n = std::min(kBulkMaxPacket, length - off);
        std::memcpy(outBuffer_.data(), data + off, n);
        commandLog_.emplace_back(data + off, data + off + n);
        if (commandLog_.size() > SimUnit::kCommandLogEntries) commandLog_.pop_front();
        const uint8_t* b = outBuffer_.data();
        stopSampling();  // every command stops the sampling timer first
        switch (b[0]) {
            case 0:
                break;
            case 1: {
                const uint16_t reload = static_cast<uint16_t>(b[2] | (b[3] << 8));
                maskRegister_ = b[4];
                const uint8_t len = b[5];
                if (len >= 1 && len <= 11) {
                    scanLength_ = len;
                    std::memcpy(scanList_.data(), b + 6, len);
                    period_ = 65536u - reload;
                    samplingStart_ = now_;
                    conversionsDone_ = 0;
                    sampling_ = true;
                }
                break;
            }
            case 2: {
                maskRegister_ = b[4];
                std::vector<uint8_t> reply(3);
                reply[0] = 1;
                if (notReady_ != 0) {
                    outputs_ = maskRegister_ & 3;
                    reply[1] = 0x01;
                    reply[2] = 0xFF;
                    if (notReady_ > 0) --notReady_;
                } else {
                    const uint16_t v = convert(b[6], now_);
                    const auto bytes = encodeSample(0, v);
                    reply[1] = bytes[1];
                    reply[2] = bytes[2];
                }
                replies_.push_back(std::move(reply));
                break;
            }
            case 4:
                replies_.emplace_back(identity_.begin(),
                                      identity_.end() - (shortIdentity_ ? 1 : 0));
                break;
            case 5:
                indicator_ = b[1] != 0;
                replies_.push_back({1});
                break;
            case 6:
                maskRegister_ = b[1];
                break;
            default:
                break;  // command 3 and unknown codes: sampling stopped, nothing else
        }
    }
}

bool UnitModel::readReply(uint8_t* out, std::size_t length, uint32_t* returned) {
    if (replies_.empty()) return false;
    auto& front = replies_.front();
    const std::size_t n = std::min(length, front.size());
    if (n) std::memcpy(out, front.data(), n);
    if (n < front.size())
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    else
        replies_.pop_front();
    *returned = static_cast<uint32_t>(n);
    return true;
}

void UnitModel::startDownload() {
    ++downloads_;
    unplugged();
}

void UnitModel::unplugged() {
    sampling_ = false;
    receiving_ = false;
    streamOwner_ = -1;
    queue_.clear();
    replies_.clear();
    interfaceSelected_ = false;
    indicator_ = false;
    outputs_ = 0;
    maskRegister_ = 0;
    cpuReset_ = false;
    memoryWritten_ = false;
}

void UnitModel::reenumerated() {
    unplugged();
    firmware_ = FirmwareState::Running;
}

bool UnitModel::streamBatchPending(int64_t owner, uint32_t frames, uint64_t* readyTick) const {
    if (!receiving_ || streamOwner_ != owner || queue_.size() >= frames) return false;
    // Frame frame_ is being built and completes at (frame_ + 1) ticks-per-frame.
    *readyTick = (frame_ + (frames - queue_.size())) * kTicksPerFrame;
    return true;
}

void UnitModel::handleClosed(int64_t owner) {
    if (receiving_ && streamOwner_ == owner) {
        advance();
        receiving_ = false;
        streamOwner_ = -1;
        queue_.clear();
    }
}

ControlResult UnitModel::vendorRequest(const usb::VendorRequest& r) {
    ControlResult res;
    res.ok = true;
    if (r.request != 0xA0 || r.direction != 0)
        return res;                                // other vendor requests: accepted, no effect
    if (r.value == 0xE600 || r.value == 0x7F92) {  // CPUCS of either controller generation
        if (r.data & 1) {
            cpuReset_ = true;
            memoryWritten_ = false;
        } else if (cpuReset_) {
            cpuReset_ = false;
            if (memoryWritten_) {
                startDownload();
                res.reenumerate = true;
            }
        }
    } else {
        memoryWritten_ = true;  // a one-byte memory write
    }
    return res;
}

ControlResult UnitModel::readStream(const usb::IsoStreamParams& params, uint8_t* out,
                                    uint32_t outLength) {
    ControlResult res;
    const uint64_t size = params.packetSize, count = params.packetCount;
    if (!receiving_ || params.pipeIndex != kPipeIsoIn || size == 0 || count == 0) return res;
    if (!out || outLength < (size + 12) * count) return res;
    if (!pipeTransferAllowed(params.pipeIndex)) return res;
    if (config_.fastClock && queue_.size() < count) {
        const uint64_t target = frame_ + (count - queue_.size());
        now_ = std::max(now_, target * kTicksPerFrame);
    }
    advance();
    if (queue_.empty()) {
        res.wouldBlock = true;
        return res;
    }
    const uint64_t n = std::min<uint64_t>(queue_.size(), count);
    for (uint64_t i = 0; i < n; ++i) {
        const Packet& p = queue_.front();
        uint32_t reported = p.length;
        if (overlong_ || (overlongEvery_ && (stats_.framesDelivered + 1) % overlongEvery_ == 0)) {
            reported = static_cast<uint32_t>(size + 1);
            overlong_ = false;
        }
        const std::size_t copy = std::min<std::size_t>(p.length, size);
        if (copy) std::memcpy(out + i * size, p.data.data(), copy);
        usb::IsoPacketDescriptor d{static_cast<uint32_t>(i * size), reported,
                                   p.failed ? kFailedPacketStatus : 0u};
        std::memcpy(out + size * n + 12 * i, &d, sizeof d);
        queue_.pop_front();
        ++stats_.framesDelivered;
    }
    res.ok = true;
    res.returned = static_cast<uint32_t>(n * (size + 12));
    return res;
}

ControlResult UnitModel::control(int64_t owner, uint32_t code, const void* in, uint32_t inLength,
                                 void* out, uint32_t outLength) {
    ControlResult res;
    const auto* inBytes = static_cast<const uint8_t*>(in);
    auto* outBytes = static_cast<uint8_t*>(out);
    if (inLength && !in) return res;
    if (outLength && !out) return res;
    advance();
    const bool runs = firmwareRuns(firmware_);
    const uint32_t pipeCount = runs ? 3 : 0;
    switch (code) {
        case usb::kIoctlGetDeviceDescriptor: {
            if (failDescriptor_ || outLength < sizeof(usb::DeviceDescriptor)) return res;
            const auto d = descriptorFor(firmware_);
            std::memcpy(outBytes, &d, sizeof d);
            res.ok = true;
            res.returned = sizeof d;
            return res;
        }
        case usb::kIoctlGetInterfaceInfo: {
            if (!interfaceSelected_ || outLength < 16) return res;
            const auto info = interfaceInfoFor(firmware_);
            const uint32_t n = std::min<uint32_t>(outLength, sizeof info);
            std::memcpy(outBytes, &info, n);
            res.ok = true;
            res.returned = n;
            return res;
        }
        case usb::kIoctlSelectInterface:
            if (inLength < 2 || inBytes[0] != 0 || inBytes[1] != 0) return res;
            interfaceSelected_ = true;
            res.ok = true;
            return res;
        case usb::kIoctlVendorRequest: {
            if (inLength < sizeof(usb::VendorRequest)) return res;
            usb::VendorRequest r;
            std::memcpy(&r, in, sizeof r);
            return vendorRequest(r);
        }
        case usb::kIoctlAbortPipe: {
            if (inLength < 4 || !interfaceSelected_) return res;
            const uint32_t pipe = readU32(in);
            if (pipe >= pipeCount) return res;
            if (pipe == kPipeIsoIn && receiving_ && streamOwner_ == owner) {
                receiving_ = false;
                streamOwner_ = -1;
                queue_.clear();
            }
            res.ok = true;
            return res;
        }
        case usb::kIoctlTransfer:
        case usb::kIoctlWrite: {
            if (inLength < sizeof(usb::PipeTransfer) || !interfaceSelected_ || !runs) return res;
            const uint32_t pipe = readU32(in);
            if (pipe == kPipeBulkOut) {
                if (!pipeTransferAllowed(pipe)) return res;
                commandPacket(outBytes, outLength);
                res.ok = true;
                res.returned = outLength;
                return res;
            }
            if (pipe == kPipeBulkIn && code == usb::kIoctlTransfer) {
                if (outLength == 0 || !pipeTransferAllowed(pipe)) return res;
                res.ok = readReply(outBytes, outLength, &res.returned);
                return res;
            }
            return res;
        }
        case usb::kIoctlGetFrameNumber: {
            if (outLength < 4) return res;
            const uint32_t f = frameNumber();
            std::memcpy(outBytes, &f, 4);
            res.ok = true;
            res.returned = 4;
            return res;
        }
        case usb::kIoctlWriteMemory:
            if (inLength < 2 || outLength < 1 || outLength > 16) return res;
            memoryWritten_ = true;
            res.ok = true;
            res.returned = outLength;
            return res;
        case usb::kIoctlStartIsoStream: {
            if (inLength < sizeof(usb::IsoStreamParams) || !interfaceSelected_ || !runs) return res;
            usb::IsoStreamParams p;
            std::memcpy(&p, in, sizeof p);
            if (p.pipeIndex != kPipeIsoIn || p.packetSize == 0 || p.packetSize > 65536 ||
                p.packetCount == 0 || p.packetCount > 4096)
                return res;
            receiving_ = true;
            streamOwner_ = owner;
            streamParams_ = p;
            queue_.clear();
            backlogLimit_ = std::max<uint64_t>(8ull * p.packetCount, 64);
            building_ = Packet{};  // reception starts with the next frame
            res.ok = true;
            return res;
        }
        case usb::kIoctlStopIsoStream:
            if (receiving_ && streamOwner_ == owner) {
                receiving_ = false;
                streamOwner_ = -1;
                queue_.clear();
            }
            res.ok = true;
            return res;
        case usb::kIoctlReadIsoStream: {
            if (inLength < sizeof(usb::IsoStreamParams) || owner != streamOwner_) return res;
            usb::IsoStreamParams p;
            std::memcpy(&p, in, sizeof p);
            return readStream(p, outBytes, outLength);
        }
        case usb::kIoctlPipeControl:
        case usb::kIoctlPipeControl2:
            res.ok = inLength >= 4;
            return res;
        case usb::kIoctlLoadFirmware:
            if (!validateFirmwareImage(inBytes, inLength, nullptr)) return res;
            startDownload();
            res.ok = true;
            res.reenumerate = true;
            return res;
        default:
            return res;
    }
}

}  // namespace trelvo::sim
