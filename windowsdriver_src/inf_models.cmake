# The models of kestrune.inf: one hardware ID per product of the maker, from KESTRUNE_PRODUCT_IDS.
# The default covers the products that get DOS device names (low byte of the product ID 2, 3 and
# 4: trelvousb1 to trelvousb3) and product 1, which gets the plain name trelvousb.
set(KESTRUNE_PRODUCT_IDS "0x0001;0x0002;0x0003;0x0004" CACHE STRING
    "USB product IDs of the maker's instruments that kestrune.inf binds the driver to")

# Four upper-case hexadecimal digits, as hardware IDs spell them.
function(kestrune_hex4 value out)
    math(EXPR number "${value}")
    if(number LESS 0 OR number GREATER 65535)
        message(FATAL_ERROR "${value} is not a 16-bit USB ID")
    endif()
    math(EXPR number "${number}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${number}" 2 -1 digits)
    string(TOUPPER "${digits}" digits)
    string(LENGTH "${digits}" length)
    while(length LESS 4)
        string(PREPEND digits "0")
        math(EXPR length "${length} + 1")
    endwhile()
    set(${out} "${digits}" PARENT_SCOPE)
endfunction()

kestrune_hex4("${KESTRUNE_OWN_VENDOR_ID}" vendor)
set(KESTRUNE_INF_MODELS "")
foreach(product ${KESTRUNE_PRODUCT_IDS})
    kestrune_hex4("${product}" digits)
    string(APPEND KESTRUNE_INF_MODELS
           "%DeviceDesc% = Kestrune_Install, USB\\VID_${vendor}&PID_${digits}\n")
endforeach()
configure_file("${CMAKE_CURRENT_SOURCE_DIR}/kestrune.inf.in"
               "${CMAKE_CURRENT_BINARY_DIR}/kestrune.inf" @ONLY)
# Into dist/ whenever the generated file changes, not only when the driver is linked again.
add_custom_command(OUTPUT "${KS_DIST_DIR}/kestrune.inf"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${KS_DIST_DIR}"
    COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_CURRENT_BINARY_DIR}/kestrune.inf"
            "${KS_DIST_DIR}/kestrune.inf"
    DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/kestrune.inf"
    VERBATIM)
add_custom_target(kestrune_inf ALL DEPENDS "${KS_DIST_DIR}/kestrune.inf")
