// SPDX-License-Identifier: MIT
// libFuzzer target: whatever bytes a peer sends, in whatever reads they
// arrive, the message reader takes them apart without crashing, hanging or
// hoarding memory; and a read that is one whole message as a copy of the
// game sends it is read as exactly that message.
#include "reads.h"
#include "wire/protocol.h"

#include <cstddef>
#include <cstdint>
#include <variant>

namespace {

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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    checkOneRead(QByteArrayView(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1)));
    protocol::MessageReader reader;
    std::vector<protocol::Message> messages;
    forEachRead(data, size, [&](QByteArrayView read) {
        reader.feed(read, messages);
        require(reader.pending() <= protocol::MessageReader::MaxPending);
    });
    return 0;
}
