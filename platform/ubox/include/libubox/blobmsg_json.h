/*
 * Conversion between blobmsg and JSON text (parsing through json-c). Formatting writes a table's
 * fields in the order they were added; the returned text is malloc'ed and freed with free().
 */
#ifndef LIBUBOX_BLOBMSG_JSON_H
#define LIBUBOX_BLOBMSG_JSON_H

#include <stdbool.h>

#include <json-c/json.h>

#include "blobmsg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Adds every member of a JSON object to buf, in the object's order. */
bool blobmsg_add_object(struct blob_buf *b, json_object *obj);
/* Adds one JSON value under name (NULL inside arrays). Null becomes a BLOBMSG_TYPE_UNSPEC field. */
bool blobmsg_add_json_element(struct blob_buf *b, const char *name, json_object *obj);
/* Parses text that must hold one JSON object and adds its members; false for anything else. */
bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str);
bool blobmsg_add_json_from_file(struct blob_buf *b, const char *file);

/* A custom formatter may return replacement text for an attribute, or NULL for the default. */
typedef const char *(*blobmsg_json_format_t)(void *priv, struct blob_attr *attr);

/*
 * With list set, attr is a container (or a blob_buf head) and its children are written as a JSON
 * object, or array when attr is a blobmsg array; otherwise attr itself is written as a named
 * member. indent < 0 writes compact text; indent >= 0 writes one member per line, indented with
 * tabs starting at that level. Returns NULL on malformed input or allocation failure.
 */
char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list, blobmsg_json_format_t cb, void *priv, int indent);

static inline char *blobmsg_format_json(struct blob_attr *attr, bool list)
{
    return blobmsg_format_json_with_cb(attr, list, NULL, NULL, -1);
}

static inline char *blobmsg_format_json_indent(struct blob_attr *attr, bool list, int indent)
{
    return blobmsg_format_json_with_cb(attr, list, NULL, NULL, indent);
}

/* The value of attr alone, without its name. */
char *blobmsg_format_json_value_with_cb(struct blob_attr *attr, blobmsg_json_format_t cb, void *priv, int indent);

static inline char *blobmsg_format_json_value(struct blob_attr *attr)
{
    return blobmsg_format_json_value_with_cb(attr, NULL, NULL, -1);
}

static inline char *blobmsg_format_json_value_indent(struct blob_attr *attr, int indent)
{
    return blobmsg_format_json_value_with_cb(attr, NULL, NULL, indent);
}

#ifdef __cplusplus
}
#endif

#endif
