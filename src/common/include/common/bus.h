// Bus connections of an applet: a sending connection that is never attached to the loop, and a
// listening one that is attached, carries the event handlers and is reconnected every second for
// as long as the bus is away.
#pragma once

struct ubus_context;
struct ubus_event_handler;

namespace fb {

// The sending connection (default socket). Logs "send_sock connect failed" and returns null on
// failure.
struct ubus_context *bus_connect_send();

// The listening connection: connected, attached to the loop, with its connection-lost callback set
// to the reconnect routine. Logs "rev_sock connect failed" and returns null on failure.
struct ubus_context *bus_connect_listen();

// Registers an event handler (exact name or a pattern ending in "*"). On failure removes the
// handler record, logs "register event failed.\n" and returns the error; the applet goes on.
int bus_register_event(struct ubus_context *ctx, struct ubus_event_handler *handler, const char *pattern);

// Disconnects and frees a connection made by the functions above (null is fine).
void bus_free(struct ubus_context *ctx);

} // namespace fb
