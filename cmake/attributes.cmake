# ruvo.core._attributes: the HTML attribute descriptors on the property
# framework's native layout: one source file per family of classes and the
# files they share (module.cpp lists them).
file(GLOB RUVO_ATTRIBUTES_SOURCES CONFIGURE_DEPENDS ${RUVO_SRC}/core/_attributes/*.cpp)
ruvo_module(_attributes core ${RUVO_ATTRIBUTES_SOURCES})
