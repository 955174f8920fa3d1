// Readable text of decoded ASDUs, for the client program and for logs.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "iec104/asdu.h"

namespace iec104 {

namespace {

void append(std::string &s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void append(std::string &s, const char *fmt, ...)
{
    char buf[160];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0)
        s.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

void append_quality(std::string &s, uint8_t q)
{
    if (q & quality::Invalid)
        s += " IV";
    if (q & quality::NotTopical)
        s += " NT";
    if (q & quality::Substituted)
        s += " SB";
    if (q & quality::Blocked)
        s += " BL";
    if (q & quality::Overflow)
        s += " OV";
}

const char *exec(bool select) { return select ? "select" : "execute"; }

struct ElementText {
    std::string &s;
    void operator()(const SinglePoint &e)
    {
        append(s, "single point %s", e.on ? "on" : "off");
        append_quality(s, e.quality);
    }
    void operator()(const DoublePoint &e)
    {
        static constexpr const char *kStates[] = {"intermediate", "off", "on", "indeterminate"};
        append(s, "double point %s", kStates[static_cast<unsigned>(e.state) & 3]);
        append_quality(s, e.quality);
    }
    void operator()(const StepPosition &e)
    {
        append(s, "step position %d%s", e.value, e.transient ? " transient" : "");
        append_quality(s, e.quality);
    }
    void operator()(const Bitstring32 &e)
    {
        append(s, "bitstring 0x%08X", static_cast<unsigned>(e.bits));
        append_quality(s, e.quality);
    }
    void operator()(const NormalizedValue &e)
    {
        append(s, "normalized %.6f (raw %d)", static_cast<double>(normalized_to_float(e.raw)), e.raw);
        append_quality(s, e.quality);
    }
    void operator()(const ScaledValue &e)
    {
        append(s, "scaled %d", e.value);
        append_quality(s, e.quality);
    }
    void operator()(const ShortFloat &e)
    {
        append(s, "float %g", static_cast<double>(e.value));
        append_quality(s, e.quality);
    }
    void operator()(const IntegratedTotal &e)
    {
        append(s, "counter %ld sequence %u%s%s%s", static_cast<long>(e.counter), e.sequence, e.carry ? " CY" : "",
               e.adjusted ? " CA" : "", e.invalid ? " IV" : "");
    }
    void operator()(const NormalizedValueNoQuality &e)
    {
        append(s, "normalized %.6f (raw %d)", static_cast<double>(normalized_to_float(e.raw)), e.raw);
    }
    void operator()(const SingleCommand &e)
    {
        append(s, "single command %s qualifier %u %s", e.on ? "on" : "off", e.qualifier, exec(e.select));
    }
    void operator()(const DoubleCommand &e)
    {
        static constexpr const char *kStates[] = {"not permitted (0)", "off", "on", "not permitted (3)"};
        append(s, "double command %s qualifier %u %s", kStates[e.state & 3], e.qualifier, exec(e.select));
    }
    void operator()(const SetpointNormalized &e)
    {
        append(s, "set point normalized %.6f (raw %d) qualifier %u %s", static_cast<double>(normalized_to_float(e.raw)),
               e.raw, e.qualifier, exec(e.select));
    }
    void operator()(const SetpointScaled &e)
    {
        append(s, "set point scaled %d qualifier %u %s", e.value, e.qualifier, exec(e.select));
    }
    void operator()(const SetpointFloat &e)
    {
        append(s, "set point float %g qualifier %u %s", static_cast<double>(e.value), e.qualifier, exec(e.select));
    }
    void operator()(const EndOfInitialisation &e)
    {
        append(s, "end of initialisation cause %u%s", e.cause, e.after_change ? " after parameter change" : "");
    }
    void operator()(const InterrogationCommand &e) { append(s, "interrogation qualifier %u", e.qoi); }
    void operator()(const ClockSyncCommand &e) { s += "clock " + describe(e.time); }
    void operator()(const TestCommandWithTime &e)
    {
        append(s, "test counter 0x%04X time ", e.counter);
        s += describe(e.time);
    }
};

} // namespace

std::string describe(const Cp56Time2a &t)
{
    std::string s;
    append(s, "20%02u-%02u-%02u %02u:%02u:%02u.%03u", t.year, t.month, t.day, t.hour, t.minute, t.milliseconds / 1000,
           t.milliseconds % 1000);
    if (t.summer_time)
        s += " SU";
    if (t.invalid)
        s += " IV";
    return s;
}

std::string describe(const Asdu &asdu)
{
    const AsduHeader &h = asdu.header;
    std::string s;
    const char *name = type_name(h.type);
    append(s, "%s(%u) cause %s(%u)%s%s OA %u CA %u %s%zu object%s", name ? name : "unknown",
           static_cast<unsigned>(h.type), cause_name(h.cause), static_cast<unsigned>(h.cause),
           h.negative ? " negative" : "", h.test ? " test" : "", h.originator, h.common_address,
           h.sequence ? "sequence of " : "", asdu.objects.size(), asdu.objects.size() == 1 ? "" : "s");
    for (const InformationObject &o : asdu.objects) {
        append(s, "\n  IOA %lu: ", static_cast<unsigned long>(o.ioa));
        std::visit(ElementText{s}, o.element);
        if (o.time)
            s += " time " + describe(*o.time);
    }
    return s;
}

} // namespace iec104
