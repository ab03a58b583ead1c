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
 *
 * 3. The DER encoder of GeneralizedTime puts every time stamp into canonical
 *    form by reading it with mktime and printing it again: two passes through
 *    the C library's time zone code, which holds a process-wide lock, for
 *    each query header. A stamp that is already canonical ("YYYYMMDDHHMMSSZ"
 *    with every field in range, as the query headers are stamped) comes out
 *    of that unchanged, so it is written as it is; any other goes the
 *    generic way.
 */
#include "corvane_runtime.h"

#include <limits.h>
#include <pthread.h>
#include <stdint.h>

#include "GeneralizedTime.h"
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

/* The value of `n` decimal digits at `p`, or -1. */
static int
digits(const uint8_t *p, int n) {
	int value = 0;
	for(int i = 0; i < n; i++) {
		if(p[i] < '0' || p[i] > '9')
			return -1;
		value = value * 10 + (p[i] - '0');
	}
	return value;
}

/* Whether a time stamp is already in the form the generic encoder gives it. */
static int
gt_is_canonical(const GeneralizedTime_t *st) {
	static const int month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
	if(!st || !st->buf || st->size != 15 || st->buf[14] != 'Z')
		return 0;
	const uint8_t *b = st->buf;
	int year = digits(b, 4), month = digits(b + 4, 2), day = digits(b + 6, 2);
	int hour = digits(b + 8, 2), minute = digits(b + 10, 2), second = digits(b + 12, 2);
	if(year < 1970 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
	   minute > 59 || second < 0 || second > 59)
		return 0;
	int leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
	return day <= month_days[month - 1] + (month == 2 && leap);
}

static asn_enc_rval_t
generalized_time_encode_der(asn_TYPE_descriptor_t *td, void *sptr, int tag_mode, ber_tlv_tag_t tag,
                            asn_app_consume_bytes_f *cb, void *app_key) {
	if(gt_is_canonical((const GeneralizedTime_t *)sptr))
		return OCTET_STRING_encode_der(td, sptr, tag_mode, tag, cb, app_key);
	return GeneralizedTime_encode_der(td, sptr, tag_mode, tag, cb, app_key);
}

static void
corvane_asn1_init_once(void) {
	asn_DEF_GeneralizedTime.der_encoder = generalized_time_encode_der;
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
