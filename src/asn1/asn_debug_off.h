/* Included ahead of every generated unit: the runtime's debug hook compiles to
 * nothing, arguments included (some of them format into a shared static buffer). */
#ifndef DTK_ASN_DEBUG_OFF_H
#define DTK_ASN_DEBUG_OFF_H
#define ASN_DEBUG(...) ((void)0)
#endif
