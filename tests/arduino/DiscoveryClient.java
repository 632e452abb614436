// IDE 1.8's own discovery client (cc.arduino.packages.discoverers
// .PluggableDiscovery from arduino-core.jar) run against a discovery
// command: prints the ports it lists, one line each time the list changes,
// until it has run SECONDS.
// java -cp "/usr/share/arduino/lib/*:DIR" DiscoveryClient SECONDS COMMAND...
import cc.arduino.packages.BoardPort;
import cc.arduino.packages.discoverers.PluggableDiscovery;
import java.lang.reflect.Field;
import java.util.Arrays;

public class DiscoveryClient {
    private static final long POLL_MS = 50;

    public static void main(String[] args) throws Exception {
        // The client asks the IDE's preferences whether to debug; outside the
        // IDE they are empty.
        Field prefs = Class.forName("processing.app.PreferencesData").getDeclaredField("prefs");
        prefs.setAccessible(true);
        prefs.set(null, new processing.app.helpers.PreferencesMap());

        long end = System.currentTimeMillis() + Long.parseLong(args[0]) * 1000;
        PluggableDiscovery discovery =
            new PluggableDiscovery("rudireze", Arrays.copyOfRange(args, 1, args.length));
        Thread thread = new Thread(discovery);
        thread.setDaemon(true);
        thread.start();
        String last = null;
        while (System.currentTimeMillis() < end) {
            StringBuilder line = new StringBuilder("ports:");
            for (BoardPort port : discovery.listDiscoveredBoards()) {
                line.append(' ').append(port.getAddress()).append('|').append(port.getLabel())
                    .append('|').append(port.getProtocol()).append('|')
                    .append(port.getProtocolLabel()).append('|')
                    .append(port.getPrefs().get("name")).append(';');
            }
            if (!line.toString().equals(last)) {
                System.out.println(line);
                System.out.flush();
                last = line.toString();
            }
            Thread.sleep(POLL_MS);
        }
        discovery.stop();
        System.exit(0);
    }
}
