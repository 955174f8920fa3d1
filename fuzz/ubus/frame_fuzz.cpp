// The daemon's frame handling: arbitrary bytes are one client's stream, cut into frames by their
// headers as the daemon does and handed to the broker until one is refused (the daemon drops the
// client there). Another client holds an object, a subscriber and an event listener, so routing
// runs too. Every frame the broker emits must be one the client library accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "broker.h"
#include "wire.h"

using namespace fb::bus;

namespace {

class CheckingOutbox : public Outbox {
public:
    uint32_t last_object = 0;

    void send(uint32_t, const Header &h, const SharedBytes &payload) override
    {
        std::vector<uint8_t> frame(kHeaderSize + payload.size());
        encode_header(h, frame.data());
        if (payload.size())
            std::copy(payload.data(), payload.data() + payload.size(), frame.begin() + kHeaderSize);
        Header back;
        Fields f;
        if (validate_frame(frame.data(), frame.size(), true, kMaxPayload + 4096, back, f) != FrameError::None)
            std::abort();
        if (h.kind == Kind::Status && f.has(Tag::ObjectId))
            last_object = f.u32(Tag::ObjectId);
    }
};

void feed(Broker &b, uint32_t client, FrameWriter &w)
{
    auto &frame = w.finish();
    b.handle(client, frame.data(), frame.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CheckingOutbox out;
    // A fixed seed: ids are the same in every run, so corpus inputs can name existing objects.
    Broker broker(out, 1);
    uint32_t other = broker.connect();
    FrameWriter obj(Kind::AddObject, 1, 0);
    obj.u32(Tag::ObjectKind, 0).text(Tag::Path, "eventd");
    feed(broker, other, obj);
    uint32_t obj_id = out.last_object;
    FrameWriter handler(Kind::AddObject, 2, 0);
    handler.u32(Tag::ObjectKind, 1);
    feed(broker, other, handler);
    FrameWriter pattern(Kind::RegisterEvent, 3, out.last_object);
    pattern.text(Tag::Pattern, "*");
    feed(broker, other, pattern);
    FrameWriter sub(Kind::AddObject, 4, 0);
    sub.u32(Tag::ObjectKind, 2);
    feed(broker, other, sub);
    FrameWriter subscribe(Kind::Subscribe, 5, out.last_object);
    subscribe.u32(Tag::Target, obj_id);
    feed(broker, other, subscribe);

    uint32_t fuzzed = broker.connect();
    std::size_t off = 0;
    while (size - off >= kHeaderSize) {
        Header h;
        if (parse_header(data + off, kHeaderSize, kMaxPayload, h) != FrameError::None)
            break;
        std::size_t total = kHeaderSize + h.length;
        if (total > size - off)
            break;
        if (broker.handle(fuzzed, data + off, total) != FrameError::None)
            break;
        off += total;
    }
    broker.disconnect(fuzzed);
    broker.disconnect(other);
    if (broker.object_count() != 0 || broker.pattern_count() != 0)
        std::abort();

    // What the client library applies to frames from the daemon.
    Header h;
    Fields f;
    validate_frame(data, size, true, kMaxPayload + 4096, h, f);
    return 0;
}
