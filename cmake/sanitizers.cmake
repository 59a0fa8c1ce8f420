# QP_SANITIZE=address,undefined or QP_SANITIZE=thread instruments everything we build.
if(QP_SANITIZE)
  add_compile_options(-fsanitize=${QP_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QP_SANITIZE})
endif()
