/* Runs hostlib.dll's calls: a program whose sound library, not the .exe
 * itself, opens the wave output device. */
__declspec(dllimport) int sound_main(void);

int main(void) {
    return sound_main();
}
