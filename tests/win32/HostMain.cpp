#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

int wmain(int argc, wchar_t* argv[]);

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    std::vector<std::wstring> converted;
    converted.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        const size_t length = std::mbstowcs(nullptr, argv[i], 0);
        if (length == static_cast<size_t>(-1)) {
            // Not valid in the current locale: widen byte by byte rather than drop the argument.
            std::string narrow(argv[i]);
            converted.emplace_back(narrow.begin(), narrow.end());
            continue;
        }
        std::wstring wide(length, L'\0');
        std::mbstowcs(wide.data(), argv[i], length + 1);
        converted.push_back(std::move(wide));
    }
    std::vector<wchar_t*> wargv;
    for (auto& arg : converted)
        wargv.push_back(arg.data());
    wargv.push_back(nullptr);
    return wmain(argc, wargv.data());
}
