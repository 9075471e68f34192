// SPDX-License-Identifier: MIT
// libFuzzer target: whatever bytes a peer sends, in whatever reads they
// arrive, the receiver applies them to a game without crashing, hanging or
// hoarding memory, a "die" or "win" box coming and going among them.
#include "game/consolelog.h"
#include "game/game.h"
#include "platform/platform.h"
#include "reads.h"
#include "session/receiver.h"

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
    ConsoleLog log;
    SilentPlatform platform;
    Game game(log, platform);
    Receiver receiver(game, platform);
    forEachRead(data, size, [&](QByteArrayView read) {
        receiver.receive(read);
        QCoreApplication::processEvents(); // a "die" or "win" box opens from the event loop
        require(receiver.heldBytes() <= HeldMessages::MaxBytes);
    });
    require(log.lines().size() <= std::size_t(ConsoleLog::MaxLines));
    return 0;
}
