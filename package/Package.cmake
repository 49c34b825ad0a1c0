# The driver package: vodrek.inf, generated from package/vodrek.inf.in and the
# build options, and (in the cross builds) the test signature of the image.

# The image each architecture installs, without its .sys: the cross builds link
# it under this name and the INF installs it on its platform.
set(VODREK_IMAGE_X64_NAME vodrek64)
set(VODREK_IMAGE_X86_NAME vodrek)

set(VODREK_DRIVER_VERSION "1.0.0.0" CACHE STRING
    "driver version the INF's DriverVer gives: four numbers, each at most 65535")

# The four upper-case hex digits of a 16-bit USB identifier given as the option
# spells it (0xFFF1 or 65521); anything else stops the configuration.
function(vodrek_usb_id_digits out value option)
    if(NOT value MATCHES "^(0[xX][0-9A-Fa-f]+|[0-9]+)$")
        message(FATAL_ERROR "${option} '${value}' is not a number")
    endif()
    math(EXPR number "${value}")
    if(number GREATER 65535)
        message(FATAL_ERROR "${option} '${value}' does not fit in 16 bits")
    endif()
    math(EXPR hex "${number}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${hex}" 2 -1 digits)
    string(TOUPPER "${digits}" digits)
    string(LENGTH "${digits}" length)
    while(length LESS 4)
        string(PREPEND digits "0")
        math(EXPR length "${length} + 1")
    endwhile()
    set(${out} "${digits}" PARENT_SCOPE)
endfunction()

# Writes vodrek.inf to `output`, with CR LF line ends as Windows tools write them.
function(vodrek_generate_inf output)
    vodrek_usb_id_digits(vid "${VODREK_USB_VENDOR_ID}" VODREK_USB_VENDOR_ID)
    vodrek_usb_id_digits(pid "${VODREK_USB_PRODUCT_ID}" VODREK_USB_PRODUCT_ID)
    set(VODREK_HARDWARE_ID "USB\\VID_${vid}&PID_${pid}")
    if(NOT VODREK_DRIVER_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
        message(FATAL_ERROR "VODREK_DRIVER_VERSION '${VODREK_DRIVER_VERSION}' is not w.x.y.z")
    endif()
    string(REPLACE "." ";" parts "${VODREK_DRIVER_VERSION}")
    foreach(part ${parts})
        if(part GREATER 65535)
            message(FATAL_ERROR "VODREK_DRIVER_VERSION '${VODREK_DRIVER_VERSION}': ${part} > 65535")
        endif()
    endforeach()
    # The date of the configuration (SOURCE_DATE_EPOCH, when set, for a reproducible build).
    string(TIMESTAMP VODREK_DRIVER_DATE "%m/%d/%Y" UTC)
    configure_file(${CMAKE_SOURCE_DIR}/package/vodrek.inf.in ${output} @ONLY NEWLINE_STYLE CRLF)
endfunction()

# Cross builds: signs `target`'s image after each link with a test certificate
# made for this build tree alone (test-signing/, never in the sources), and puts
# the signed image beside the INF in package/, the folder a Windows test machine
# installs from.
function(vodrek_test_sign_image target)
    find_program(VODREK_OPENSSL openssl)
    find_program(VODREK_OSSLSIGNCODE osslsigncode)
    if(NOT VODREK_OPENSSL OR NOT VODREK_OSSLSIGNCODE)
        message(FATAL_ERROR "test signing needs openssl and osslsigncode "
                            "(apt-get install openssl osslsigncode; ./build.sh installs them)")
    endif()
    set(certs ${CMAKE_BINARY_DIR}/test-signing)
    set(cert_files ${certs}/ca.pem ${certs}/ca.cer ${certs}/signing.pem ${certs}/signing.key
                   ${certs}/signing.cer ${certs}/signing.pfx)
    add_custom_command(OUTPUT ${cert_files}
        COMMAND ${CMAKE_COMMAND} -DOPENSSL=${VODREK_OPENSSL} -DDIR=${certs}
                -P ${CMAKE_SOURCE_DIR}/package/TestCertificate.cmake
        DEPENDS ${CMAKE_SOURCE_DIR}/package/TestCertificate.cmake
        COMMENT "Making the build tree's test CA and code-signing certificate"
        VERBATIM)
    add_custom_target(${target}_test_certificate DEPENDS ${cert_files})
    add_dependencies(${target} ${target}_test_certificate)
    # A new certificate relinks the image, so that it is signed with that one.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${certs}/signing.pem)

    set(image $<TARGET_FILE:${target}>)
    set(package ${CMAKE_BINARY_DIR}/package)
    vodrek_generate_inf(${package}/vodrek.inf)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E rm -f ${image}.signed
        COMMAND ${VODREK_OSSLSIGNCODE} sign -certs ${certs}/signing.pem -key ${certs}/signing.key
                -h sha256 -n "vodrek test build" -in ${image} -out ${image}.signed
        COMMAND ${CMAKE_COMMAND} -E rename ${image}.signed ${image}
        COMMAND ${CMAKE_COMMAND} -E copy ${image} ${package}/
        COMMENT "Test-signing ${target} and copying it to package/"
        VERBATIM)
endfunction()
