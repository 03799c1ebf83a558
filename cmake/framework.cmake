# ruvo.core._framework: the property and event framework's native types.
file(GLOB RUVO_FRAMEWORK_SOURCES CONFIGURE_DEPENDS ${RUVO_SRC}/core/_framework/*.cpp)
ruvo_module(_framework core ${RUVO_FRAMEWORK_SOURCES})
