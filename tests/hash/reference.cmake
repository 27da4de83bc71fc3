# Tests of the reference SHA3 (src/hash/sha3.cpp) against published vectors
# and OpenSSL.
tamrix_gtest(test_sha3_known_answers SOURCES test_sha3_known_answers.cpp LIBS tamrix_hash
             LABELS hash)
tamrix_gtest(test_sha3_openssl SOURCES test_sha3_openssl.cpp LIBS tamrix_hash OpenSSL::Crypto
             LABELS hash)
