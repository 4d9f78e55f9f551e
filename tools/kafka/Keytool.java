// Runs several keytool commands in one JVM: starting a JVM costs far more than any of the commands.
// Arguments: the commands' own arguments, each command's separated from the next by "--next".
// Launched as a source file, with --add-exports java.base/sun.security.tools.keytool=ALL-UNNAMED.
import java.util.ArrayList;
import java.util.List;

public class Keytool {
    public static void main(String[] args) throws Exception {
        List<String> command = new ArrayList<>();
        for (String arg : args) {
            if (arg.equals("--next")) {
                run(command);
                command.clear();
            } else {
                command.add(arg);
            }
        }
        run(command);
    }

    // A failed command throws, which ends the JVM with a non-zero status.
    private static void run(List<String> command) throws Exception {
        if (!command.isEmpty())
            sun.security.tools.keytool.Main.main(command.toArray(new String[0]));
    }
}
