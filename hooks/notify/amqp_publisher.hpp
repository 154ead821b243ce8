// The one AMQP exchange of a hook run: connect, log in, open channel 1, declare the
// exchange "ctrl" and publish the pool event to it. No retries.
#pragma once

#include "hooks/notify/notify_event.hpp"

#include <cstdio>

namespace notify {

// Publishes the event. On a failure writes its one line to `err` and returns false;
// returns true once the message was handed to the broker.
bool publish_event(const broker_settings& settings, const pool_event& event, std::FILE* err);

}  // namespace notify
