from bench.run import main

main()
