/*
 * Client side of the message bus: a connection to ubusd, events (send, listen by exact name or by
 * prefix pattern ending in '*'), objects with methods that other clients invoke, synchronous
 * invocation with a timeout, subscribers and notifications, lookup, and reconnection.
 *
 * A context is used by one thread at a time; different contexts share no state, so each thread
 * may own its own context (the DNP3 applets send from several threads, each under its own lock).
 * Callbacks run on the thread that drives the context: from the loop when the context is attached
 * with ubus_add_uloop(), or from ubus_handle_event().
 */
#ifndef LIBUBUS_H
#define LIBUBUS_H

#include <stdbool.h>
#include <stdint.h>

#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubox/utils.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Default socket, below $FIELDBRIDGE_ROOT when that is set. */
#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"
/* Largest message body (blobmsg data) of an event, call, reply or notification. */
#define UBUS_MAX_MSGLEN 1048576

enum ubus_msg_status {
    UBUS_STATUS_OK,
    UBUS_STATUS_INVALID_COMMAND,
    UBUS_STATUS_INVALID_ARGUMENT,
    UBUS_STATUS_METHOD_NOT_FOUND,
    UBUS_STATUS_NOT_FOUND,
    UBUS_STATUS_NO_DATA,
    UBUS_STATUS_PERMISSION_DENIED,
    UBUS_STATUS_TIMEOUT,
    UBUS_STATUS_NOT_SUPPORTED,
    UBUS_STATUS_UNKNOWN_ERROR,
    UBUS_STATUS_CONNECTION_FAILED,
    UBUS_STATUS_NO_MEMORY,
    UBUS_STATUS_PARSE_ERROR,
    UBUS_STATUS_SYSTEM_ERROR,
    __UBUS_STATUS_LAST
};

/* The `type` a data callback receives for reply data. */
enum ubus_msg_type {
    UBUS_MSG_HELLO,
    UBUS_MSG_STATUS,
    UBUS_MSG_DATA,
};

struct ubus_context;
struct ubus_object;
struct ubus_request;
struct ubus_request_data;
struct ubus_object_data;
struct ubus_event_handler;
struct ubus_subscriber;
struct ubus_context_state;

typedef void (*ubus_lookup_handler_t)(struct ubus_context *ctx, struct ubus_object_data *obj, void *priv);
typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
                              const char *method, struct blob_attr *msg);
typedef void (*ubus_state_handler_t)(struct ubus_context *ctx, struct ubus_object *obj);
typedef void (*ubus_remove_handler_t)(struct ubus_context *ctx, struct ubus_subscriber *obj, uint32_t id);
typedef void (*ubus_event_handler_t)(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *type,
                                     struct blob_attr *msg);
typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);
typedef void (*ubus_complete_handler_t)(struct ubus_request *req, int ret);

struct ubus_method {
    const char *name;
    ubus_handler_t handler;
    unsigned long mask;
    unsigned long tags;
    const struct blobmsg_policy *policy;
    int n_policy;
};

struct ubus_object_type {
    const char *name;
    uint32_t id;
    const struct ubus_method *methods;
    int n_methods;
};

struct ubus_object {
    const char *name;
    uint32_t id;
    const char *path;
    struct ubus_object_type *type;
    /* Called when the object gains its first subscriber or loses its last one. */
    ubus_state_handler_t subscribe_cb;
    bool has_subscribers;
    const struct ubus_method *methods;
    int n_methods;
};

struct ubus_subscriber {
    struct ubus_object obj;
    /* Receives each notification: method is the notification type. */
    ubus_handler_t cb;
    /* Told when a subscribed object goes away (removed, its owner gone, or the bus lost). */
    ubus_remove_handler_t remove_cb;
};

struct ubus_event_handler {
    struct ubus_object obj;
    ubus_event_handler_t cb;
};

struct ubus_context {
    /* The bus socket; attach it with ubus_add_uloop() or uloop_fd_add(&ctx->sock, ...). */
    struct uloop_fd sock;
    /* Runs messages that arrived during a synchronous call once the loop is back. */
    struct uloop_timeout pending_timer;
    uint32_t local_id;
    uint16_t request_seq;
    int stack_depth;
    /* Called when the connection to the daemon is lost. The default ends the loop when the
     * socket was attached to it. */
    void (*connection_lost)(struct ubus_context *ctx);
    struct ubus_context_state *state;
};

struct ubus_object_data {
    uint32_t id;
    uint32_t type_id;
    const char *path;
    struct blob_attr *signature;
};

struct ubus_request_data {
    uint32_t object;
    uint32_t peer;
    uint16_t seq;
    bool deferred;
    int fd;
};

struct ubus_request {
    int status_code;
    uint32_t peer;
    uint16_t seq;
    ubus_data_handler_t data_cb;
    ubus_complete_handler_t complete_cb;
    struct ubus_context *ctx;
    void *priv;
};

#define UBUS_METHOD_TAG_DEFAULT 0

#define _UBUS_METHOD(_name, _handler, _mask, _policy, _tags)                                               \
    { .name = _name, .handler = _handler, .mask = _mask, .tags = _tags, .policy = _policy,                \
      .n_policy = ARRAY_SIZE(_policy) }

#define UBUS_METHOD(_name, _handler, _policy) _UBUS_METHOD(_name, _handler, 0, _policy, 0)
#define UBUS_METHOD_TAG(_name, _handler, _policy, _tags) _UBUS_METHOD(_name, _handler, 0, _policy, _tags)
#define UBUS_METHOD_MASK(_name, _handler, _policy, _mask) _UBUS_METHOD(_name, _handler, _mask, _policy, 0)
#define UBUS_METHOD_NOARG(_name, _handler)                                                                  \
    { .name = _name, .handler = _handler, .mask = 0, .tags = 0, .policy = NULL, .n_policy = 0 }

#define UBUS_OBJECT_TYPE(_name, _methods)                                                                   \
    { .name = _name, .id = 0, .methods = _methods, .n_methods = ARRAY_SIZE(_methods) }

/* Connection. A null path is the default socket. */
struct ubus_context *ubus_connect(const char *path);
int ubus_connect_ctx(struct ubus_context *ctx, const char *path);
/* Connects again (the old socket is dropped) and registers this context's objects and event
 * patterns anew. Returns UBUS_STATUS_OK or an error status. */
int ubus_reconnect(struct ubus_context *ctx, const char *path);
void ubus_shutdown(struct ubus_context *ctx);
void ubus_free(struct ubus_context *ctx);

const char *ubus_strerror(int error);

static inline void ubus_add_uloop(struct ubus_context *ctx)
{
    uloop_fd_add(&ctx->sock, ULOOP_BLOCKING | ULOOP_READ);
}

/* Reads what the daemon sent and runs the callbacks; for contexts not attached to the loop. */
void ubus_handle_event(struct ubus_context *ctx);

/* Lookup: path may end in '*' to match a prefix; a null path lists every object. */
int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv);
int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);

/* Objects. */
int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);

/* Replies from inside a method handler; may be called several times before the handler returns. */
int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg);
/* Keeps a request open after its handler returns; finish it with ubus_complete_deferred_request. */
void ubus_defer_request(struct ubus_context *ctx, struct ubus_request_data *req, struct ubus_request_data *new_req);
void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret);

/* Calls a method and waits for its end. timeout is in milliseconds, 0 waits without limit. The
 * data callback runs for each reply message. Returns the status the method returned. */
int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                ubus_data_handler_t cb, void *priv, int timeout);

/* Subscribers. */
int ubus_register_subscriber(struct ubus_context *ctx, struct ubus_subscriber *obj);
static inline int ubus_unregister_subscriber(struct ubus_context *ctx, struct ubus_subscriber *obj)
{
    return ubus_remove_object(ctx, &obj->obj);
}
int ubus_subscribe(struct ubus_context *ctx, struct ubus_subscriber *obj, uint32_t id);
int ubus_unsubscribe(struct ubus_context *ctx, struct ubus_subscriber *obj, uint32_t id);
/* Sends a notification to the subscribers of obj. With timeout < 0 it does not wait for the
 * daemon; otherwise it waits up to timeout ms (0: without limit) for the daemon to accept it. */
int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type, struct blob_attr *msg,
                int timeout);

/* Events. */
int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data);
/* Registers ev for events named exactly `pattern`, or starting with its text before a final '*'.
 * One handler may be registered for several patterns; it sees each event once. */
int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *pattern);
static inline int ubus_unregister_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev)
{
    return ubus_remove_object(ctx, &ev->obj);
}

#ifdef __cplusplus
}
#endif

#endif
