// SPDX-License-Identifier: MIT
#pragma once

struct AvahiPoll;

// Avahi's main-loop hooks on Qt's event loop: a watch is a pair of socket
// notifiers, a timeout a single-shot timer. So every callback of the Avahi
// client library runs on the thread that made its objects, between the
// other events, and the game needs no thread and no lock for it.
//
// A callback may free or update its own watch or timeout, and any other.
const AvahiPoll* qtAvahiPoll();
