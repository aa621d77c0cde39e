// The low-level MD5 calls, deprecated since OpenSSL 3.0 yet still part of it, rather than EVP:
// there EVP_DigestInit_ex frees the digest's context and allocates a new one at every init, an
// allocation per record for writers and readers alike. These work in a context of ours.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "control/md5_digest.h"

#include <openssl/md5.h>

#include <cstdio>

#include "control/test_control.h"

static void md5Failed(const char* step) {
  printf("MD5 %s failed\n", step);
  stopTest();
}

void computeMd5(const void* data, uint32_t length, uint8_t digest[16]) {
  MD5_CTX ctx;
  if (MD5_Init(&ctx) != 1) {
    md5Failed("init");
  }
  if (MD5_Update(&ctx, data, length) != 1) {
    md5Failed("update");
  }
  if (MD5_Final(digest, &ctx) != 1) {
    md5Failed("final");
  }
}
