// APDU framing and ASDU decoding on arbitrary octets. The first octet picks the field sizes; the rest
// is a TCP stream. Whatever decodes must encode again, and the re-encoding must be stable.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "iec104/apci.h"
#include "iec104/asdu.h"

using namespace iec104;

namespace {

AppLayerParameters params_from(uint8_t b)
{
    return {static_cast<uint8_t>(1 + (b & 1)), static_cast<uint8_t>(1 + ((b >> 1) & 1)),
            static_cast<uint8_t>(1 + ((b >> 2) % 3))};
}

void check_asdu(std::span<const uint8_t> octets, const AppLayerParameters &p)
{
    AsduHeader h;
    size_t hsize = 0;
    (void)decode_header(octets, p, h, hsize);
    (void)mirror_asdu(octets, p, Cause::UnknownType, true);

    for (bool tolerant : {false, true}) {
        Asdu asdu;
        if (decode_asdu(octets, p, asdu, tolerant) != AsduError::Ok)
            continue;
        (void)describe(asdu);
        std::array<uint8_t, kMaxAsduSize> first, second;
        ByteWriter w1(first);
        if (encode_asdu(asdu, p, w1) != AsduError::Ok)
            std::abort(); // anything decoded is encodable
        Asdu again;
        if (decode_asdu(w1.written(), p, again) != AsduError::Ok)
            std::abort();
        ByteWriter w2(second);
        if (encode_asdu(again, p, w2) != AsduError::Ok || w1.size() != w2.size())
            std::abort();
        for (size_t i = 0; i < w1.size(); ++i)
            if (first[i] != second[i])
                std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const AppLayerParameters p = params_from(data[0]);
    std::span<const uint8_t> stream(data + 1, size - 1);

    // The same octets as one ASDU, then as a stream of frames.
    check_asdu(stream, p);
    ApduFramer framer;
    while (!stream.empty()) {
        size_t used = 0;
        const ApduFramer::Status st = framer.push(stream, used);
        stream = stream.subspan(used);
        if (st == ApduFramer::Status::Error)
            break;
        if (st != ApduFramer::Status::Frame)
            continue;
        Apdu apdu;
        if (parse_apdu(framer.frame(), apdu) == ApciError::Ok && apdu.apci.format == FrameFormat::I)
            check_asdu(apdu.asdu, p);
    }
    return 0;
}
