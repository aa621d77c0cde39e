#include "control/md5_digest.h"

#include <openssl/evp.h>

#include <cstdio>

#include "control/test_control.h"

static EVP_MD_CTX* md5_ctx = nullptr;
static EVP_MD* md5_md = nullptr;

static void md5Failed(const char* step) {
  printf("MD5 %s failed\n", step);
  stopTest();
}

void computeMd5(const void* data, uint32_t length, uint8_t digest[16]) {
  if (md5_ctx == nullptr) {
    // Fetched once: a digest named per call would be looked up (and allocated) every record.
    md5_md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    md5_ctx = EVP_MD_CTX_new();
    if (md5_md == nullptr || md5_ctx == nullptr) {
      md5Failed("setup");
    }
  }
  unsigned int digest_len = 0;
  if (EVP_DigestInit_ex(md5_ctx, md5_md, nullptr) != 1) {
    md5Failed("init");
  }
  if (EVP_DigestUpdate(md5_ctx, data, length) != 1) {
    md5Failed("update");
  }
  if (EVP_DigestFinal_ex(md5_ctx, digest, &digest_len) != 1 || digest_len != 16) {
    md5Failed("final");
  }
}
