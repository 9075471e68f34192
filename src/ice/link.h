// SPDX-License-Identifier: MIT
#pragma once

#include "icelink.h"

#include <QString>
#include <QtPlugin>

#include <functional>
#include <memory>

class QIODevice;

namespace ice {

// One ICE path as the game holds it. libnice, and the GLib, GUPnP, libsoup
// and GnuTLS it brings, would cost every start of the game some 5 MB and
// several milliseconds, so the IceLink behind this lives in a plug-in of the
// room's own (ice-nice.so), loaded when a player first hosts with the
// Internet box on or pastes an invitation.
//
// It reports through Events, each from the event loop, as IceLink's signals
// do; after dispose() it reports nothing more.
class Link {
public:
    using Role = IceLink::Role;
    using Stage = IceLink::Stage;
    using Path = IceLink::Path;
    using Options = IceLink::Options;

    struct Events {
        std::function<void(const QString& code)> gathered;
        std::function<void(QIODevice* device)> connected;
        std::function<void(const QString& reason)> failed;
    };

    virtual ~Link() = default;

    virtual void start() = 0;
    // As IceLink::takeRemoteCode: empty when taken, else why not.
    virtual QString takeRemoteCode(const QString& text) = 0;
    virtual Role role() const = 0;
    virtual Stage stage() const = 0;
    virtual Path path() const = 0;
    virtual QString localCode() const = 0;
    virtual QString remoteAddress() const = 0;
    // Ends the path as IceLink::close() does and lets it finish on its own:
    // it says nothing more, and frees itself once libnice is done. For use
    // where the link may be reporting right now.
    virtual void dispose() = 0;
};

// What the plug-in offers.
class LinkFactory {
public:
    virtual ~LinkFactory() = default;
    virtual Link* makeLink(Link::Role role, const Link::Options& options, Link::Events events) = 0;
};

// A link from the plug-in, loaded on the first call; none when it cannot be
// loaded, and `why` says so in the player's words.
std::unique_ptr<Link> makeLink(Link::Role role, const Link::Options& options, Link::Events events,
                               QString* why);

} // namespace ice

#define KorvaloopIceLinkFactory_iid "org.korvaloop.Korvaloop.IceLinkFactory/1"
Q_DECLARE_INTERFACE(ice::LinkFactory, KorvaloopIceLinkFactory_iid)
