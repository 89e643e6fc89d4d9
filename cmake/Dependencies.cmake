# Every third-party library comes from Debian's packages (deps/debian-packages.txt).
# Imported targets are given short pd:: aliases so folder CMakeLists stay small.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

find_package(Boost 1.81 REQUIRED COMPONENTS url)
add_library(pd::boost INTERFACE IMPORTED)
target_link_libraries(pd::boost INTERFACE Boost::headers Threads::Threads)
add_library(pd::boost_url INTERFACE IMPORTED)
target_link_libraries(pd::boost_url INTERFACE Boost::url)

find_package(nlohmann_json 3.11 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(CURL REQUIRED)
find_package(ICU 72 REQUIRED COMPONENTS uc i18n data)

pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale libswresample)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
pkg_check_modules(FFTW REQUIRED IMPORTED_TARGET fftw3f)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)

if(PD_BUILD_APP)
  find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets OpenGL OpenGLWidgets DBus)
endif()

if(PD_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(PD_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
