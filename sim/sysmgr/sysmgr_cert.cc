/* The cluster's certificate for the stand-in's TLS listener. */
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "sysmgr_listen.h"
#include "osk_banned.h"

static int add_ext(X509 *cert, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr)
        return -1;
    int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    return ok ? 0 : -1;
}

static int write_pem(const char *path, mode_t mode, X509 *cert, EVP_PKEY *key)
{
    FILE *f = fopen(path, "w");
    if (f == nullptr)
        return -1;
    (void)fchmod(fileno(f), mode);
    int ok = cert ? PEM_write_X509(f, cert)
                  : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    return fclose(f) == 0 && ok ? 0 : -1;
}

int sysmgr_make_cert(const char *dir)
{
    char crt[1024], key[1024];
    snprintf(crt, sizeof crt, "%s/sysmgr.crt", dir);
    snprintf(key, sizeof key, "%s/sysmgr.key", dir);
    EVP_PKEY *pkey = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    int rc = -1;
    unsigned char serial[8];
    FILE *r = fopen("/dev/urandom", "r");
    if (r == nullptr || fread(serial, 1, sizeof serial, r) != sizeof serial)
        memset(serial, 0x5a, sizeof serial);
    if (r != nullptr)
        fclose(r);
    serial[0] &= 0x7f; /* positive */
    BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
    if (pkey != nullptr && cert != nullptr && bn != nullptr && X509_set_version(cert, 2) &&
        BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) &&
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600) &&
        X509_gmtime_adj(X509_getm_notAfter(cert), 10L * 365 * 24 * 3600) &&
        X509_set_pubkey(cert, pkey)) {
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)"osk-sysmgr",
                                   -1, -1, 0);
        X509_set_issuer_name(cert, name);
        if (add_ext(cert, NID_basic_constraints, "critical,CA:TRUE") == 0 &&
            add_ext(cert, NID_key_usage, "critical,digitalSignature,keyCertSign") == 0 &&
            add_ext(cert, NID_ext_key_usage, "serverAuth") == 0 &&
            add_ext(cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") == 0 &&
            X509_sign(cert, pkey, EVP_sha256()) > 0 && write_pem(key, 0600, nullptr, pkey) == 0 &&
            write_pem(crt, 0644, cert, nullptr) == 0)
            rc = 0;
    }
    if (rc != 0) {
        fprintf(stderr, "osk-cluster: cannot make the certificate %s: ", crt);
        ERR_print_errors_fp(stderr);
        fprintf(stderr, "\n");
    }
    BN_free(bn);
    X509_free(cert);
    EVP_PKEY_free(pkey);
    return rc;
}
