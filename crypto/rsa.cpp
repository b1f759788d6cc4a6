// A key's modulus and exponent are loaded from the record's word counts and little-endian
// 16-bit words, the counts checked first; rsa_transform holds the big-number work area for its
// one operation only.
#include "crypto/rsa.h"

#include "core/byteorder.h"
#include "crypto/keyrec.h"

namespace {

// Sets x from count little-endian 16-bit words at p, bits = 16 x count.
void load_words(bignum *x, const unsigned char *p, unsigned count) {
    bn_clear(x);
    for (unsigned i = 0; i < count; i++) x->limbs[i] = load_le16(p + 2 * i);
    x->bits = 16 * count;
}

} // namespace

int rsa_load_key(rsa_key *key, const unsigned char *record) {
    if (!record) return 1;
    const unsigned m = load_le16(record);
    const unsigned x = load_le16(record + key_record_exponent_words);
    if (m > key_record_max_modulus_words || x > key_record_max_exponent_words) return 1;
    load_words(&key->modulus, record + key_record_modulus, m);
    load_words(&key->exponent, record + key_record_exponent, x);
    return 0;
}

int rsa_public_op(const rsa_key *key, bignum *value) {
    if (bn_prepare(&key->modulus) != 0) return 1;
    return bn_powmod(value, &key->exponent, &key->modulus) == 0 ? 0 : 1;
}

int rsa_transform(const unsigned char *record, unsigned char block[rsa_block_size]) {
    rsa_key key;
    if (rsa_load_key(&key, record) != 0) return 1;
    bignum value;
    bn_from_bytes(&value, block, rsa_block_size);
    {
        bn_work_hold work;
        if (!work.held() || rsa_public_op(&key, &value) != 0) return 1;
    }
    bn_to_bytes(&value, block, rsa_block_size);
    return 0;
}
