# ruvo.core._attributes: the HTML attribute descriptors, one source file per
# family of classes, on the property framework's native layout.
file(GLOB RUVO_ATTRIBUTES_SOURCES CONFIGURE_DEPENDS ${RUVO_SRC}/core/_attributes/*.cpp)
ruvo_module(_attributes core ${RUVO_ATTRIBUTES_SOURCES})
