# The system's layers as static libraries, shared by the product build and
# the fuzz build. Every source is listed: a missing file breaks the build.
# TS is the source tree's top; headers are included by their path from it.
# Each library links only the layers below it (the include-rule test checks
# that the code does too).

function(tessaro_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPS" ${ARGN})
  list(TRANSFORM L_SOURCES PREPEND ${TS}/)
  add_library(${name} STATIC ${L_SOURCES})
  target_link_libraries(${name} PUBLIC ${L_DEPS})
endfunction()

# pkcs11.h from p11-kit (Debian's libp11-kit-dev): the PKCS#11 module and the
# token provider of the platform use it.
find_path(TESSARO_PKCS11_INCLUDE p11-kit/pkcs11.h PATH_SUFFIXES p11-kit-1 REQUIRED)

tessaro_layer(tessaro_platform SOURCES
  platform/base/CheckedCertificates.cpp
  platform/base/Der.cpp
  platform/base/LastError.cpp
  platform/com/Com.cpp
  platform/com/XmlDom.cpp
  platform/crypt32/Asn1.cpp
  platform/crypt32/CertContext.cpp
  platform/crypt32/CertNames.cpp
  platform/crypt32/CertProperties.cpp
  platform/crypt32/CertStore.cpp
  platform/crypt32/Decode.cpp
  platform/crypt32/Encode.cpp
  platform/crypt32/MemoryStore.cpp
  platform/crypt32/Pkcs7Store.cpp
  platform/crypt32/PrivateKey.cpp
  platform/crypt32/RegistryStore.cpp
  platform/csp/CryptApi.cpp
  platform/csp/CspAlgorithms.cpp
  platform/csp/CspBlob.cpp
  platform/csp/CspCipher.cpp
  platform/csp/CspCommon.cpp
  platform/csp/CspContainerStore.cpp
  platform/csp/CspContext.cpp
  platform/csp/CspHandles.cpp
  platform/csp/CspHash.cpp
  platform/csp/CspKeyParams.cpp
  platform/csp/CspKeyPersistence.cpp
  platform/csp/CspKeys.cpp
  platform/csp/CspRegistry.cpp
  platform/csp/Pkcs11TokenProvider.cpp
  platform/csp/Pkcs11TokenSession.cpp
  platform/csp/RsaProvider.cpp
  platform/csp/Sm2Certificate.cpp
  platform/csp/Sm2Crypto.cpp
  platform/csp/Sm2Provider.cpp
  platform/csp/VendorBlob.cpp
  platform/etw/EventTrace.cpp
  platform/kernel/Files.cpp
  platform/kernel/FormatMessage.cpp
  platform/kernel/LocalMemory.cpp
  platform/kernel/Modules.cpp
  platform/kernel/Process.cpp
  platform/kernel/Resources.cpp
  platform/kernel/TextConversion.cpp
  platform/kernel/Time.cpp
  platform/prefix/Prefix.cpp
  platform/registry/Registry.cpp
  DEPS OpenSSL::Crypto SQLite::SQLite3 Threads::Threads ${CMAKE_DL_LIBS})
# libxml2 is loaded when install mode first reads XML (see XmlDom.cpp): only
# its headers are needed here.
target_include_directories(tessaro_platform PRIVATE ${LIBXML2_INCLUDE_DIRS})
target_include_directories(tessaro_platform PUBLIC ${TS} ${TS}/platform/include ${TESSARO_PKCS11_INCLUDE})
tessaro_layer(tessaro_diag SOURCES
  diag/Diagnostics.cpp
  DEPS tessaro_platform)
tessaro_layer(tessaro_encoding SOURCES
  encoding/ASN1Composer.cpp
  encoding/ASN1Engine.cpp
  encoding/Codec.cpp
  DEPS tessaro_diag)
tessaro_layer(tessaro_misc SOURCES
  misc/Misc.cpp
  DEPS tessaro_encoding)
tessaro_layer(tessaro_store SOURCES
  store/CertificateChainDelete.cpp
  store/CertificateChainInstall.cpp
  store/CertificateChainOperate.cpp
  store/CertificateFilter.cpp
  store/UnregisteredCertificate.cpp
  DEPS tessaro_misc)
tessaro_layer(tessaro_request SOURCES
  request/CertificateRequisition.cpp
  request/PKCS10Request.cpp
  request/SubjectDN.cpp
  DEPS tessaro_misc)
tessaro_layer(tessaro_import SOURCES
  import/CertificateInstall.cpp
  import/EnvelopeReader.cpp
  import/ImportEncryptCert.cpp
  import/PlainRsaImport.cpp
  import/VendorBlobImport.cpp
  DEPS tessaro_misc)
tessaro_layer(tessaro_agent SOURCES
  agent/CertificateListing.cpp
  agent/CryptoAgent.cpp
  DEPS tessaro_request tessaro_import tessaro_store)

# The PKCS#11 module's token, over the platform alone.
tessaro_layer(tessaro_pkcs11 SOURCES
  pkcs11/Module.cpp
  pkcs11/TokenObjects.cpp
  DEPS tessaro_platform)
target_include_directories(tessaro_pkcs11 PUBLIC ${TESSARO_PKCS11_INCLUDE})

# The host program's message layer and handlers: everything but the process
# entry, so tests and fuzz targets drive them in-process.
tessaro_layer(tessaro_host SOURCES
  host/IOStream.cpp
  host/JSONUtility.cpp
  host/LumoraHost.cpp
  host/nmCryptoAgent.cpp
  DEPS tessaro_agent tessaro_resources PkgConfig::CJSON)
