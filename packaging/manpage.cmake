# Writes a manual page from rudireze-cli's own help texts, so the two never
# disagree: cmake -DPROGRAM=... -DOUTPUT=... -P manpage.cmake
set(commands list convert locate upload read station rename monitor proxy discovery
    monitor-tool install-platform)

function(help_of out)
    execute_process(COMMAND ${PROGRAM} ${ARGN} --help
        OUTPUT_VARIABLE text RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} ${ARGN} --help failed: ${result}")
    endif()
    # roff: backslashes doubled, a line starting with . or ' taken literally.
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

help_of(overview)
set(page ".TH RUDIREZE-CLI 1 \"\" \"Rudireze\" \"User Commands\"\n")
string(APPEND page ".SH NAME\nrudireze\\-cli \\- write firmware into AVR boards over Wi\\-Fi, from a terminal or a script\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n${overview}.fi\n")
foreach(command ${commands})
    help_of(text ${command})
    string(TOUPPER "${command}" heading)
    string(APPEND page ".SH ${heading}\n.nf\n${text}.fi\n")
endforeach()
string(APPEND page ".SH SEE ALSO\n.BR rudireze (1)\n")
file(WRITE ${OUTPUT} "${page}")
