# ruvo.core.thinref: the ThinRef weak proxy.
ruvo_module(thinref core
  ${RUVO_SRC}/core/thinref.cpp
  ${RUVO_SRC}/core/thinref_globals.cpp
  ${RUVO_SRC}/core/thinref_operators.cpp
  ${RUVO_SRC}/core/thinref_pickle.cpp)
