// SPDX-License-Identifier: MIT
// libFuzzer target: whatever bytes a peer sends, in whatever reads they
// arrive, the receiver takes them apart and applies them without crashing,
// hanging or hoarding memory; and a read that is one whole message as a copy
// of the game sends it is read as exactly that message.
//
// Input: the first byte seeds how the rest is cut into reads; the rest is
// the byte stream as it comes off the connection.
#include "game/consolelog.h"
#include "game/game.h"
#include "net/protocol.h"
#include "net/receiver.h"
#include "platform/platform.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

class SilentPlatform final : public Platform {
public:
    void MsgBox(const QString&, const QString&) override {}
    QString InputBox(const QString&, const QString&) override { return {}; }
    void Beep() override {}
    void End() override {}
};

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// The bytes a copy of the game sends for a message.
QByteArray sent(const protocol::Message& message)
{
    return std::visit(
        [](const auto& m) -> QByteArray {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, protocol::Move>)
                return protocol::toWire(protocol::moveMessage(m));
            else if constexpr (std::is_same_v<T, protocol::Chat>)
                return protocol::toWire(protocol::chatMessage(m.line, m.name));
            else
                return QByteArray(m == protocol::Word::Die       ? "die"
                                  : m == protocol::Word::Win     ? "win"
                                  : m == protocol::Word::NewGame ? "newgame"
                                                                 : "gotkey");
        },
        message);
}

// A read that is one message as a copy sends it reads as that message alone.
void checkOneRead(QByteArrayView read)
{
    protocol::MessageReader reader;
    std::vector<protocol::Message> out;
    require(reader.feed(read, out) || read.size() > protocol::MessageReader::MaxPending);
    const auto asOneText = protocol::readAsOneText(read);
    if (asOneText && sent(*asOneText) == read)
        require(out.size() == 1 && out.front() == *asOneText);
}

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
    protocol::MessageReader reader;
    std::vector<protocol::Message> messages;

    std::uint32_t state = data[0] | 1u;
    const auto* bytes = reinterpret_cast<const char*>(data + 1);
    qsizetype left = qsizetype(size - 1);
    checkOneRead(QByteArrayView(bytes, left));
    while (left > 0) {
        state = state * 1664525u + 1013904223u;
        const qsizetype length = std::min<qsizetype>(left, 1 + (state >> 24) % 64);
        const QByteArrayView read(bytes, length);
        receiver.receive(read);
        QCoreApplication::processEvents(); // a "die" or "win" box opens from the event loop
        reader.feed(read, messages);
        require(reader.pending() <= protocol::MessageReader::MaxPending);
        bytes += length;
        left -= length;
    }
    require(log.lines().size() <= std::size_t(ConsoleLog::MaxLines));
    return 0;
}
