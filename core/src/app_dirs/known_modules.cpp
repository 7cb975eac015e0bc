#include "korvan/app_dirs/known_modules.hpp"

namespace korvan::app_dirs {

// The non-ASCII letters are written as their UTF-8 bytes so the table cannot depend on the
// source file's encoding: \xC4\x9F is ğ, \xC4\xB0 is İ, \xC3\xBC is ü.
std::vector<std::string> known_modules(PlatformFamily family) {
    switch (family) {
    case PlatformFamily::windows:
        return {
            "C:\\Windows\\System32\\akisp11.dll",
            "C:\\Windows\\System32\\eTPKCS11.dll",
            "C:\\Windows\\System32\\eToken.dll",
            "C:\\Program Files\\ArcSigner\\arksigner_p11.dll",
            "C:\\Program Files\\E-Tu\xC4\x9Fra\\E-\xC4\xB0mza\\eimzap11.dll",
            "C:\\Program Files\\T\xC3\xBCrkTrust\\Arnica\\arnica_pkcs11.dll",
            "C:\\Program Files\\E-G\xC3\xBCven\\eguvenp11.dll",
            "C:\\Program Files\\EGM\\egmp11.dll",
        };
    case PlatformFamily::macos:
        return {
            "/usr/local/lib/libakisp11.dylib",
            "/Library/AK\xC4\xB0S/lib/libakisp11.dylib",
            "/Library/AK\xC4\xB0S/akisp11.dylib",
            "/Library/E-Tu\xC4\x9Fra/eimzap11.dylib",
            "/usr/local/lib/libIDPrimePKCS11.dylib",
            "/Library/Frameworks/eToken.framework/Versions/Current/libIDPrimePKCS11.dylib",
            "/usr/local/lib/libeTPkcs11.dylib",
            "/Applications/ArcSigner.app/Contents/Resources/libakisp11.dylib",
            "/Library/Frameworks/AkiS.framework/AkiS",
            "/Applications/AKIS.app/Contents/Resources/libakisp11.dylib",
            "/Applications/AKIS/libakisp11.dylib",
        };
    case PlatformFamily::linux:
        return {
            "/usr/lib/libakisp11.so",
            "/usr/lib/akisp11.so",
            "/usr/lib/eimzap11.so",
            "/usr/lib/arnica_p11.so",
            "/usr/local/lib/libakisp11.so",
            "/usr/local/lib/eimzap11.so",
            "/opt/akis/libakisp11.so",
            "/opt/etugra/eimzap11.so",
            "/usr/lib/aarch64-linux-gnu/libakisp11.so",
        };
    }
    return {};
}

} // namespace korvan::app_dirs
