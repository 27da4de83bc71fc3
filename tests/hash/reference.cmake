# Tests of the reference SHA3 (src/hash/sha3.cpp) against published vectors
# and OpenSSL.
tamrix_gtest(test_sha3_known_answers SOURCES test_sha3_known_answers.cpp LIBS tamrix_hash
             LABELS hash)
tamrix_gtest(test_sha3_openssl SOURCES test_sha3_openssl.cpp LIBS tamrix_hash OpenSSL::Crypto
             LABELS hash)

# The unrolled SHA3-256 the node uses for the coinbase id and the merkle tree
# (src/hash/sha3_fast.cpp), against the same three answers.
tamrix_gtest(test_sha3_fast SOURCES test_sha3_fast.cpp LIBS tamrix_hash OpenSSL::Crypto
             LABELS hash)
target_include_directories(test_sha3_fast PRIVATE ${PROJECT_SOURCE_DIR}/tests)
