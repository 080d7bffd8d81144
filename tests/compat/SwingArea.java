// A Swing window with known text in a JTextArea, for the compatibility suite.
// Usage: java SwingArea.java FILE (with the ATK wrapper as an assistive technology)
import java.nio.file.Files;
import java.nio.file.Path;
import javax.swing.JFrame;
import javax.swing.JScrollPane;
import javax.swing.JTextArea;
import javax.swing.SwingUtilities;

public class SwingArea {
    public static void main(String[] args) throws Exception {
        String text = Files.readString(Path.of(args[0]));
        SwingUtilities.invokeLater(() -> {
            JFrame frame = new JFrame("Swing compat");
            frame.add(new JScrollPane(new JTextArea(text)));
            frame.setSize(700, 400);
            frame.setLocation(200, 150);
            frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
            frame.setVisible(true);
        });
    }
}
