/*
 * The UCI context every applet holds for its life. Lookups themselves go through librouter.h;
 * freeing the last context drops the parsed packages kept in memory.
 */
#ifndef FIELDBRIDGE_UCI_H
#define FIELDBRIDGE_UCI_H

#ifdef __cplusplus
extern "C" {
#endif

struct uci_context;

struct uci_context *uci_alloc_context(void);
void uci_free_context(struct uci_context *ctx);

#ifdef __cplusplus
}
#endif

#endif /* FIELDBRIDGE_UCI_H */
