# The raw Ed25519 public key of a PEM file, as 64 hex digits, for compiling into the app.
function(shotlark_update_key_hex pem out)
    find_program(OPENSSL_PROGRAM openssl REQUIRED)
    get_filename_component(name "${pem}" NAME_WE)
    set(der "${CMAKE_BINARY_DIR}/${name}.der")
    execute_process(COMMAND "${OPENSSL_PROGRAM}" pkey -pubin -in "${pem}" -outform DER -out "${der}"
                    RESULT_VARIABLE failed ERROR_VARIABLE why)
    if(failed)
        message(FATAL_ERROR "Can't read the update key ${pem}: ${why}")
    endif()
    # The DER form ends with the 32 key bytes.
    file(READ "${der}" hex HEX)
    string(LENGTH "${hex}" length)
    math(EXPR start "${length} - 64")
    string(SUBSTRING "${hex}" ${start} 64 key)
    set(${out} "${key}" PARENT_SCOPE)
endfunction()
