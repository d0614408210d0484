# The programs answer --version with the project's version, so the number
# lives in one place: project() in the top CMakeLists.txt. vq_version(TARGET)
# gives TARGET's sources VQ_VERSION as a string literal.
function(vq_version target)
  target_compile_definitions(${target} PRIVATE VQ_VERSION="${PROJECT_VERSION}")
endfunction()
