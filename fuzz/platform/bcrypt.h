// Declared only so that the slot types of runtime/os_symbols.h (decltype of each function)
// can be formed in the native fuzzing build, which never resolves or calls them: one
// placeholder signature for all.
#pragma once

#include <windows.h>

void BCryptOpenAlgorithmProvider();
void BCryptEnumAlgorithms();
void BCryptEnumProviders();
void BCryptGetProperty();
void BCryptSetProperty();
void BCryptCloseAlgorithmProvider();
void BCryptFreeBuffer();
void BCryptGenerateSymmetricKey();
void BCryptGenerateKeyPair();
void BCryptEncrypt();
void BCryptDecrypt();
void BCryptExportKey();
void BCryptImportKey();
void BCryptImportKeyPair();
void BCryptDuplicateKey();
void BCryptFinalizeKeyPair();
void BCryptDestroyKey();
void BCryptDestroySecret();
void BCryptSignHash();
void BCryptVerifySignature();
void BCryptSecretAgreement();
void BCryptDeriveKey();
void BCryptCreateHash();
void BCryptHashData();
void BCryptFinishHash();
void BCryptDuplicateHash();
void BCryptDestroyHash();
void BCryptGenRandom();
void BCryptDeriveKeyCapi();
void BCryptDeriveKeyPBKDF2();
void BCryptRegisterConfigChangeNotify();
void BCryptUnregisterConfigChangeNotify();
void BCryptResolveProviders();
void BCryptGetFipsAlgorithmMode();
