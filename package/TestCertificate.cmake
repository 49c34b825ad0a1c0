# Makes a throw-away certificate authority and a code-signing certificate it
# issued, for test-signing the driver image of one build tree:
#   cmake -DOPENSSL=/usr/bin/openssl -DDIR=<build>/test-signing -P TestCertificate.cmake
# ca.pem / ca.cer       the CA certificate (PEM; DER for certutil on Windows)
# signing.pem / .key    the signing certificate and its key (osslsigncode)
# signing.cer           the signing certificate in DER (certutil, TrustedPublisher)
# signing.pfx           certificate, key and CA for signtool, empty password
# The CA's key is thrown away once it has issued the signing certificate.
cmake_minimum_required(VERSION 3.25)
if(NOT OPENSSL OR NOT DIR)
    message(FATAL_ERROR "usage: cmake -DOPENSSL=<openssl> -DDIR=<folder> -P TestCertificate.cmake")
endif()

set(work ${DIR}.new)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
file(WRITE ${work}/signing.ext
     "basicConstraints = critical, CA:FALSE\n"
     "keyUsage = critical, digitalSignature\n"
     "extendedKeyUsage = codeSigning\n"
     "subjectKeyIdentifier = hash\n"
     "authorityKeyIdentifier = keyid\n")

function(run)
    execute_process(COMMAND ${OPENSSL} ${ARGN} WORKING_DIRECTORY ${work}
                    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "openssl ${ARGN} failed (${status}):\n${output}")
    endif()
endfunction()

run(req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout ca.key -out ca.pem
    -subj "/CN=vodrek local test CA (not trusted anywhere)"
    -addext "basicConstraints=critical,CA:TRUE"
    -addext "keyUsage=critical,keyCertSign,cRLSign")
run(req -new -newkey rsa:2048 -nodes -sha256 -keyout signing.key -out signing.csr
    -subj "/CN=vodrek local test signing")
run(x509 -req -sha256 -days 3650 -in signing.csr -CA ca.pem -CAkey ca.key -CAcreateserial
    -extfile signing.ext -out signing.pem)
run(x509 -in ca.pem -outform DER -out ca.cer)
run(x509 -in signing.pem -outform DER -out signing.cer)
run(pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem
    -name "vodrek local test signing" -passout pass: -out signing.pfx)
file(REMOVE ${work}/ca.key ${work}/ca.srl ${work}/signing.csr ${work}/signing.ext)

file(REMOVE_RECURSE ${DIR})
file(RENAME ${work} ${DIR})
