// libFuzzer target: whatever bytes a peer sends, in whatever reads they
// arrive, the receiver takes them apart and applies them without crashing,
// hanging or hoarding memory.
//
// Input: the first byte seeds how the rest is cut into reads; the rest is
// the byte stream as it comes off the connection.
#include "game/consolelog.h"
#include "game/game.h"
#include "net/receiver.h"
#include "platform/platform.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

namespace {

class SilentPlatform final : public Platform {
public:
    void MsgBox(const QString&, const QString&) override {}
    QString InputBox(const QString&, const QString&) override { return {}; }
    void Beep() override {}
    void End() override {}
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    ConsoleLog log;
    SilentPlatform platform;
    Game game(log, platform);
    Receiver receiver(game, platform);

    std::uint32_t state = data[0] | 1u;
    const auto* bytes = reinterpret_cast<const char*>(data + 1);
    qsizetype left = qsizetype(size - 1);
    while (left > 0) {
        state = state * 1664525u + 1013904223u;
        const qsizetype length = std::min<qsizetype>(left, 1 + (state >> 24) % 64);
        receiver.receive(QByteArrayView(bytes, length));
        bytes += length;
        left -= length;
    }
    return 0;
}
