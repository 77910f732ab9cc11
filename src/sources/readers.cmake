# The readers of the files users place (plain text in whatever encoding, web pages, word processor
# documents, vCards, calendars) with the decoding and list numbering they share, as one object
# library from this one list: the sources module builds it on the platform library, the fuzz
# targets on the few platform files they build.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(LIBICAL REQUIRED IMPORTED_TARGET libical)
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
pkg_check_modules(UCHARDET REQUIRED IMPORTED_TARGET uchardet)

# vask_add_readers(NAME PLATFORM): the readers as object library NAME, on the library PLATFORM
# that holds the platform's errors, log and text helpers.
function(vask_add_readers name platform)
    set(dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
    add_library(${name} OBJECT
        ${dir}/calendar_event_store.cpp
        ${dir}/docx_numbering.cpp
        ${dir}/docx_reader.cpp
        ${dir}/html_text.cpp
        ${dir}/ics_calendar_parser.cpp
        ${dir}/list_count.cpp
        ${dir}/decoding/legacy_encoding_guess.cpp
        ${dir}/decoding/letter_statistics.cpp
        ${dir}/list_number_format.cpp
        ${dir}/markup_attribute_bound.cpp
        ${dir}/decoding/mixed_utf8_text.cpp
        ${dir}/odt_lists.cpp
        ${dir}/odt_reader.cpp
        ${dir}/paragraph_text.cpp
        ${dir}/rich_text_reader.cpp
        ${dir}/decoding/text_characters.cpp
        ${dir}/decoding/text_conversion.cpp
        ${dir}/decoding/text_decoding.cpp
        ${dir}/vcard_parser.cpp
        ${dir}/word_processing_markup.cpp
        ${dir}/word_processor_reader.cpp
    )
    vask_set_warnings(${name})
    target_link_libraries(${name} PUBLIC ${platform})
    target_link_libraries(${name} PRIVATE PkgConfig::LIBXML2 PkgConfig::LIBICAL
        PkgConfig::LIBARCHIVE PkgConfig::UCHARDET ICU::uc ICU::i18n)
endfunction()
