# Free-threaded CPython 3.13.0 and 3.13.1 race on the UTF-8 buffer that a str
# makes of itself on first use (fixed in 3.13.2), and the module reads every
# key's text that way: such an interpreter is refused when the module is built.
function(quorix_require_free_threaded_version version)
  if(version VERSION_GREATER_EQUAL 3.13 AND version VERSION_LESS 3.13.2)
    message(FATAL_ERROR
      "free-threaded CPython ${version} is not supported: it races on the UTF-8 text of str objects, "
      "which the module reads for every key (fixed in 3.13.2). Build with free-threaded CPython 3.13.2 or newer.")
  endif()
endfunction()
