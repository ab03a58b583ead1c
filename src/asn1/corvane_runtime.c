/*
 * Run-time adjustments of the generated protocol code. Two things are done
 * once, before any value is coded:
 *
 * 1. Every INTEGER of the protocol is a signed 32-bit value, but the
 *    generator's native INTEGER is a `long` (64 bits here), so its decoder
 *    would accept values the protocol does not allow. The BER decoder of the
 *    native INTEGER descriptor is replaced by one that rejects values outside
 *    -2147483648..2147483647. Every INTEGER member and every INTEGER-based
 *    type reaches the decoder through that descriptor, so one replacement
 *    covers the whole module without touching generated files.
 *
 * 2. The generated types that only constrain a basic type (U32BIT, S32BIT,
 *    UUID) copy their base type's functions into their own descriptor on
 *    every call. That copying is a data race between threads coding at the
 *    same time (the receive and transmit workers), and it also overwrites the
 *    type's own constraint check with the base type's (which checks nothing).
 *    The copy is therefore made once here, pointing the descriptor straight
 *    at the base functions and keeping the type's own constraint check.
 *
 * The build fails when the module gains another such derived type, so this
 * list cannot silently fall behind (see CMakeLists.txt).
 */
#include "corvane_runtime.h"

#include <limits.h>
#include <pthread.h>
#include <stdint.h>

#include "NativeInteger.h"
#include "OCTET_STRING.h"
#include "S32BIT.h"
#include "U32BIT.h"
#include "UUID.h"

static asn_dec_rval_t
int32_decode_ber(asn_codec_ctx_t *ctx, asn_TYPE_descriptor_t *td, void **sptr, const void *buf,
                 size_t size, int tag_mode) {
	asn_dec_rval_t rv = NativeInteger_decode_ber(ctx, td, sptr, buf, size, tag_mode);
	if(rv.code == RC_OK && sptr && *sptr) {
		const asn_INTEGER_specifics_t *specs = (const asn_INTEGER_specifics_t *)td->specifics;
		long value = *(const long *)*sptr;
		int fits = (specs && specs->field_unsigned)
			? (unsigned long)value <= (unsigned long)INT32_MAX
			: (value >= INT32_MIN && value <= INT32_MAX);
		if(!fits) {
			rv.code = RC_FAIL;
			rv.consumed = 0;
		}
	}
	return rv;
}

static void
freeze_derived(asn_TYPE_descriptor_t *td, const asn_TYPE_descriptor_t *base) {
	asn_constr_check_f *own_check = td->check_constraints;
	td->free_struct = base->free_struct;
	td->print_struct = base->print_struct;
	td->ber_decoder = base->ber_decoder;
	td->der_encoder = base->der_encoder;
	td->xer_decoder = base->xer_decoder;
	td->xer_encoder = base->xer_encoder;
	td->uper_decoder = base->uper_decoder;
	td->uper_encoder = base->uper_encoder;
	if(!td->per_constraints)
		td->per_constraints = base->per_constraints;
	td->elements = base->elements;
	td->elements_count = base->elements_count;
	td->specifics = base->specifics;
	td->check_constraints = own_check;
}

static void
corvane_asn1_init_once(void) {
	asn_DEF_NativeInteger.ber_decoder = int32_decode_ber;
	freeze_derived(&asn_DEF_U32BIT, &asn_DEF_NativeInteger);
	freeze_derived(&asn_DEF_S32BIT, &asn_DEF_NativeInteger);
	freeze_derived(&asn_DEF_UUID, &asn_DEF_OCTET_STRING);
}

static pthread_once_t corvane_once = PTHREAD_ONCE_INIT;

void
corvane_asn1_init(void) {
	pthread_once(&corvane_once, corvane_asn1_init_once);
}

/* Also at load time, so that code using the descriptors directly is covered. */
__attribute__((constructor)) static void
corvane_asn1_init_at_load(void) {
	corvane_asn1_init();
}
